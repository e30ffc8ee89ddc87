// The program's own pictures, drawn with QPainter at whatever size and pixel ratio they are
// asked for, so they stay crisp at 16 and 24 pixels and on high-DPI screens. Each image list
// keeps the indexes the rest of the window relies on.
#pragma once

#include <QIcon>
#include <QSize>
#include <vector>

class TImageList {
public:
    TImageList(QSize size, std::vector<QIcon> icons) : Size_(size), Icons_(std::move(icons)) {}
    // An empty icon for an index outside the list.
    QIcon Icon(int index) const;
    int Count() const { return static_cast<int>(Icons_.size()); }
    QSize Size() const { return Size_; }

private:
    QSize Size_;
    std::vector<QIcon> Icons_;
};

// 0 off (grey server), 1 busy (orange circle, circular arrow), 2 no blocks (green arrow),
// 3 blocks (red padlock), 4 error (red cross). Shared by the server list and the tray icon.
TImageList MakeServerStatesIL();
// The blocks picture (3) with a small error cross in its upper corner: blocks here, an error
// on another server.
QIcon MakeBlocksWithErrorIcon();
// 0 plain table, 1 blocked (yellow padlock), 2 blocker (red padlock), 3 unused (plain).
TImageList MakeProcessesIL();
// 0 red circle with a white cross, 14 x 14.
TImageList MakeLogImages();
// 0 Quit, 1 Refresh, 2 Properties, 3 Register, 4 Unregister, 5 Show blocks, 6 Settings,
// 7 Autorefresh; 24 x 24.
TImageList MakeToolbarIL();
