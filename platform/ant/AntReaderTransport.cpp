// The reader thread and the close shared by the serial and USB transports.
#include "platform/ant/AntReaderTransport.h"

#include <vector>

TAntReaderTransport::TAntReaderTransport(std::shared_ptr<TAntReaderState> state)
    : FReader(std::move(state)) {}

TAntReaderTransport::~TAntReaderTransport() {
    Close();
}

TAntOpenError TAntReaderTransport::LastError() const {
    std::lock_guard<std::mutex> g(FReader->Mutex);
    return FReader->Error;
}

bool TAntReaderTransport::FailOpen(std::unique_lock<std::mutex>& lock, TAntOpenFailure kind,
                                   const std::string& detail) {
    FReader->Error = {kind, FReader->Path, detail};
    const TAntOpenError e = FReader->Error;
    lock.unlock();
    AntReport(e);
    return false;
}

void TAntReaderTransport::StartReader(TAntByteSink* sink, size_t bufferSize, TAntReadProc read) {
    TAntReaderState& S = *FReader;
    S.Stop = false;
    S.IsOpen = true;
    std::shared_ptr<TAntReaderState> keep = FReader;
    S.Thread = std::thread([keep, sink, bufferSize, read = std::move(read)] {
        std::vector<uint8_t> buf(bufferSize);
        TAntReadStep step = TAntReadStep::Going;
        while (step == TAntReadStep::Going && !keep->Stop.load()) {
            size_t got = 0;
            step = read(buf.data(), buf.size(), got);
            // Once Close has begun, nothing more is delivered.
            if (keep->Stop.load()) return;
            if (got > 0) sink->Received(buf.data(), got);
        }
        if (step == TAntReadStep::Lost && !keep->Stop.load())
            AntReport("ANT stick " + keep->Path + ": the stick went away (unplugged?).\n");
    });
}

void TAntReaderTransport::Close() {
    TAntReaderState& S = *FReader;
    std::thread th;
    {
        std::lock_guard<std::mutex> g(S.Mutex);
        if (!S.IsOpen) return;
        S.IsOpen = false;
        S.Stop = true;
        th = std::move(S.Thread);
    }
    S.WakeReader();
    if (th.joinable()) {
        // From inside a delivery the reader sees Stop when the delivery returns and ends
        // without touching the handles again.
        if (th.get_id() == std::this_thread::get_id())
            th.detach();
        else
            th.join();
    }
    std::lock_guard<std::mutex> w(S.WriteMutex);
    std::lock_guard<std::mutex> g(S.Mutex);
    S.Release();
}
