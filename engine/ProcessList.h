// One server's process snapshot, arranged as a blocking forest: every blocked process hangs
// under the process that blocks it. The monitor fills it (Clear, Add per row, BuildBlockTree);
// the process view walks it from Item(i) down through Child(j).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TProcessItem {
public:
    TProcessItem() = default;
    // Frees the subtree without recursing, so a chain of any length is safe.
    ~TProcessItem();
    TProcessItem(const TProcessItem&) = delete;
    TProcessItem& operator=(const TProcessItem&) = delete;

    std::int32_t ChildCount() const { return static_cast<std::int32_t>(Children.size()); }
    // Throws Exception when index is out of range.
    TProcessItem* Child(std::int32_t index) const;

    // The four fields BuildBlockTree reads come first and share one cache line: a large
    // snapshot no longer fits in the cache, and each item then costs one line from memory.
    std::int32_t Spid = 0;
    std::int32_t Blocked = 0;   // SPID of the blocking process, 0 when not blocked
    std::int32_t WaitTime = 0;  // milliseconds
    std::uint8_t BlockRole = 0; // 0 not involved, 1 blocked, 2 blocker
    // The processes this one blocks, in the order BuildBlockTree placed them.
    std::vector<std::unique_ptr<TProcessItem>> Children;
    std::string DBName;
    std::string LastWaitType;
    std::string WaitResource;
    std::int32_t OpenTran = 0;
    std::string Status;
    std::string HostName;
    std::string ProgramName;
    std::string Cmd;
    std::string LoginName;
    std::int32_t Cpu = 0;
    std::int32_t PhysicalIo = 0;
    std::int32_t MemUsage = 0;
};

class TProcessList {
public:
    TProcessList();
    ~TProcessList();
    TProcessList(const TProcessList&) = delete;
    TProcessList& operator=(const TProcessList&) = delete;

    // A new empty item at the end of the top level; the caller fills it.
    TProcessItem* Add();
    // Destroys the whole forest; the two flags keep their values.
    void Clear();
    std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }
    // Every row added since the last Clear, wherever it hangs.
    std::int32_t RowCount() const { return static_cast<std::int32_t>(Rows.size()); }
    // Top-level item; throws Exception when index is out of range.
    TProcessItem* Item(std::int32_t index) const;
    // The first item with that SPID in depth-first pre-order, or nullptr.
    TProcessItem* FindBySpid(std::int32_t spid) const;
    // Hangs every blocked row under its blocker, sets BlockRole, HasRealBlocks, HasWarning.
    // Rows are visited from the last added to the first; a blocker is the first item with
    // that SPID in pre-order at the moment the row is visited. A row whose blocker already
    // hangs in its own subtree (a blocking cycle) stays where it is; that blocker still gets
    // role 2. Calling it again re-arranges the rows from the order in which they were added.
    void BuildBlockTree();

    // Changes whenever the list does (Add, Clear, BuildBlockTree): a viewer that remembers it
    // can tell a new snapshot from the one it already shows.
    std::uint64_t Version() const { return Version_; }

    // Some row is blocked by a process other than itself.
    bool HasRealBlocks() const { return HasRealBlocks_; }
    // Some blocked row has waited at least WarningTimeout milliseconds.
    bool HasWarning() const { return HasWarning_; }

private:
    std::vector<std::unique_ptr<TProcessItem>> Items;
    std::vector<TProcessItem*> Rows; // every item in the order of Add
    bool Arranged = false;           // BuildBlockTree ran since the last Clear
    bool HasRealBlocks_ = false;
    bool HasWarning_ = false;
    std::uint64_t Version_ = 0;
    struct TWorkspace; // buffers of BuildBlockTree, kept for the next snapshot
    std::unique_ptr<TWorkspace> Workspace;

    void Flatten();
};
