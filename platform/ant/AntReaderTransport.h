#pragma once
// What the serial and USB transports share: the open state under a lock, the reader
// thread that delivers the stick's bytes to the sink, and a Close that stops the reader
// before the stick is given back. The state sits behind a shared pointer that the reader
// keeps, so a Close from inside a delivery (which leaves the reader to end on its own)
// never takes the state away under it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ant/AntDiscovery.h"
#include "platform/ant/AntTransport.h"

// A transport's state; each transport adds its handles.
struct TAntReaderState {
    virtual ~TAntReaderState() = default;
    // Wakes a reader that waits without a time-out; Close calls it after setting Stop.
    virtual void WakeReader() {}
    // Gives the stick back; Close calls it once the reader is gone, with both locks held.
    virtual void Release() = 0;

    std::mutex Mutex;       // everything here but Stop, and the transport's handles
    std::mutex WriteMutex;  // held by a write for its whole length, and by the release
    std::string Path;
    bool IsOpen = false;
    std::thread Thread;
    TAntOpenError Error;
    std::atomic<bool> Stop{false};
};

// One wait of the reader: fills `got` bytes of the buffer and says whether it goes on.
enum class TAntReadStep { Going, Ended, Lost };
using TAntReadProc = std::function<TAntReadStep(uint8_t* buffer, size_t size, size_t& got)>;

class TAntReaderTransport : public TAntTransport {
public:
    // Closes the stick when still open.
    ~TAntReaderTransport() override;
    // Stops the reader and gives the stick back; the reader is gone on return (unless
    // called from inside a delivery, which then finishes on its own).
    void Close() override;

    const std::string& Path() const { return FReader->Path; }
    TAntOpenError LastError() const;

protected:
    explicit TAntReaderTransport(std::shared_ptr<TAntReaderState> state);
    // Records a failed open and reports it once `lock` (on Mutex) is let go; false.
    bool FailOpen(std::unique_lock<std::mutex>& lock, TAntOpenFailure kind, const std::string& detail);
    // Marks the stick open and starts the reader (Mutex held): `read` is called until
    // Close or until it says Ended or Lost, and what it got goes to the sink unless Close
    // came meanwhile. A stick lost while open is reported as gone.
    void StartReader(TAntByteSink* sink, size_t bufferSize, TAntReadProc read);

private:
    std::shared_ptr<TAntReaderState> FReader;
};
