// Writes an answer through a duplicate of a connection's descriptor. Qt closes its socket's
// descriptor as soon as it reads the end of the client's stream, dropping whatever it still
// buffers: a client that half-closes after its request would lose the end of a page larger than
// the kernel's buffers. The duplicate keeps the connection open until the answer is out.
#pragma once

#include <QObject>
#include <functional>
#include <string>

class QSocketNotifier;

class TAnswerWriter : public QObject {
public:
    // Called once with whether the whole answer went out.
    using TDone = std::function<void(bool whole)>;

    TAnswerWriter(qintptr descriptor, QObject* parent);
    ~TAnswerWriter() override;
    TAnswerWriter(const TAnswerWriter&) = delete;
    TAnswerWriter& operator=(const TAnswerWriter&) = delete;

    // False where no duplicate could be made (or the platform has none): write through Qt.
    bool Valid() const { return Fd >= 0; }
    void Write(std::string bytes, TDone done);
    // Ends the connection now, whatever is left unwritten.
    void Close();

private:
    void WriteSome();

    int Fd = -1;
    std::string Pending;
    std::size_t Sent = 0;
    QSocketNotifier* Writable = nullptr;
    TDone Done;
};
