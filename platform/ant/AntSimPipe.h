#pragma once
// Serves a stick (normally a simulated one) on a file descriptor: bytes read from the
// descriptor are written to the stick, and the stick's bytes are written to the
// descriptor. With the master side of a pseudo-terminal, a program that opens the
// slave side as a serial device talks to the simulated stick as to a real one.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ant/AntTransport.h"

class TAntSimPipe : public TAntByteSink {
public:
    // `fd` is not owned and must stay open until Stop.
    TAntSimPipe(std::shared_ptr<TAntTransport> stick, int fd);
    ~TAntSimPipe() override;

    // Opens the stick and starts copying; false when the stick does not open.
    bool Start();
    // Stops copying and closes the stick.
    void Stop();

    // Bytes the stick sent, passed to the descriptor.
    void Received(const uint8_t* bytes, size_t count) override;

private:
    void Run();

    std::shared_ptr<TAntTransport> FStick;
    int FFd;
    int FWake = -1;
    std::mutex FWriteMutex;
    std::atomic<bool> FStop{true};
    std::thread FThread;
};
