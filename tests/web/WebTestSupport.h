#pragma once
// A test engine that writes CGI-style header lines, a sink stream that keeps what the
// engine sends after the engine has freed it, and request helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "web/HttpEng.h"

// Output stream: appends every write to a shared string and counts the writes.
class TSinkStream : public TStream {
public:
    struct TRecord {
        std::string bytes;
        std::vector<size_t> writes;  // size of each write
        bool freed = false;
    };
    explicit TSinkStream(std::shared_ptr<TRecord> r) : FRecord(std::move(r)) {}
    ~TSinkStream() override { FRecord->freed = true; }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buf, int64_t count) override {
        FRecord->bytes.append(static_cast<const char*>(buf), static_cast<size_t>(count));
        FRecord->writes.push_back(static_cast<size_t>(count));
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FRecord->bytes.size()); }

private:
    std::shared_ptr<TRecord> FRecord;
};

// Output stream of a client or web server that went away: every write fails.
class TDeadStream : public TStream {
public:
    explicit TDeadStream(std::shared_ptr<int> attempts) : FAttempts(std::move(attempts)) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t) override {
        ++*FAttempts;
        return -1;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }

private:
    std::shared_ptr<int> FAttempts;
};

// Input stream that is not a memory or file stream: the engine must trust CONTENT_LENGTH
// and read until the data ends.
class TChunkStream : public TStream {
public:
    explicit TChunkStream(std::string data, size_t chunk = 1 << 30) : FData(std::move(data)), FChunk(chunk) {}
    int64_t Read(void* buf, int64_t count) override {
        size_t n = std::min({static_cast<size_t>(count), FData.size() - FPos, FChunk});
        std::memcpy(buf, FData.data() + FPos, n);
        FPos += n;
        return static_cast<int64_t>(n);
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FPos); }

private:
    std::string FData;
    size_t FChunk;
    size_t FPos = 0;
};

class TTestEngine : public THttpEngine {
public:
    explicit TTestEngine(TComponent* AOwner = nullptr) : THttpEngine(AOwner) {}
    void SendHeaderLine(const std::string& Name, const std::string& Value) override {
        std::string line = Value.empty() ? Name + "\r\n" : Name + ": " + Value + "\r\n";
        if (TStream* out = RequestContext().OutStream) out->WriteBuffer(line.data(), line.size());
    }
    void EndHeaders() override {
        if (TStream* out = RequestContext().OutStream) out->WriteBuffer("\r\n", 2);
    }
    void RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) override {
        ProcessRequest(InStream, OutStream, Variables);
    }
    std::function<std::string(const std::string&)> HostVariable;
    std::string GetHostServerVariable(const std::string& Name) override {
        return HostVariable ? HostVariable(Name) : THttpEngine::GetHostServerVariable(Name);
    }
};

inline TStringList* MakeVariables(const std::vector<std::string>& lines) {
    auto* list = new TStringList;
    for (const auto& l : lines) list->Add(l);
    return list;
}

// Runs one request and returns everything the engine sent.
inline std::shared_ptr<TSinkStream::TRecord> RunRequest(THttpEngine& engine,
                                                        const std::vector<std::string>& vars,
                                                        TStream* input = nullptr) {
    auto rec = std::make_shared<TSinkStream::TRecord>();
    engine.ProcessRequest(input, new TSinkStream(rec), MakeVariables(vars));
    return rec;
}

// The temporary directory of this test program (created once).
std::string TestDir();
// The engine's log file of this test program.
std::string LogFileName();
std::string ReadFileBytes(const std::string& path);
// Process kind for the scope of a test.
class TProcessKindScope {
public:
    explicit TProcessKindScope(TProcessKind k) : FOld(ProcessKind()) { SetProcessKind(k); }
    ~TProcessKindScope() { SetProcessKind(FOld); }

private:
    TProcessKind FOld;
};
// Exit codes that the engine asked for (the exit handler of the tests records them).
std::vector<int> TakeExitCodes();
void InstallRecordingExitHandler();

#ifdef ZELTO_HAVE_LIBCRYPTO
// Blowfish CFB-64 by libcrypto, the independent oracle of the cipher tests: `iv` is padded
// with zero bytes to 8; `encrypt` false decrypts.
std::string OracleCfb(const std::string& key, const std::string& iv, const std::string& data, bool encrypt);
#endif
