// Request input of the web engine: body reads with the reading watchdog, server
// variables, form fields (URL-encoded and multipart), basic authorization.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <typeinfo>
#include <unordered_set>

#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "web/HttpEng.h"

// ---- Reading watchdog: ends the process when a body stops arriving.

namespace {

std::atomic<bool> GDeadlineArmed{false};
std::atomic<uint32_t> GDeadline{0};

class TWatchDogThread : public TThread {
public:
    TWatchDogThread() : TThread(true) {
        SetPriority(tpHigher);
        Resume();
    }
    ~TWatchDogThread() override { StopAndJoin(); }

protected:
    void Execute() override {
        while (!Terminated()) {
            Sleep(WatchDogInterval);
            if (GDeadlineArmed.load() && static_cast<int32_t>(GetTickCount() - GDeadline.load()) > 0) {
                GDeadlineArmed.store(false);
                // The stalled request never reaches its end: its uploads go now.
                DeleteTrackedTempFiles();
                ExitEngineProcess(0);
                return;
            }
        }
    }
};

std::mutex GWatchDogMutex;
TWatchDogThread* GWatchDog = nullptr;

void ArmReadingWatchdog() {
    GDeadline.store(GetTickCount() + WatchDogTimeout);
    GDeadlineArmed.store(true);
    std::lock_guard<std::mutex> lk(GWatchDogMutex);
    if (!GWatchDog) {
        // Stops the thread at unit end.
        static struct TReaper {
            ~TReaper() { StopReadingWatchdog(); }
        } reaper;
        GWatchDog = new TWatchDogThread;
    }
}

void DisarmReadingWatchdog() {
    GDeadlineArmed.store(false);
}

// Alias groups of server variables: a name of the group, when empty, is looked up under
// the group's names in this order. Auth: 1 = user, 2 = password of the Authorization header.
struct TVariableGroup {
    std::vector<const char*> members;
    std::vector<const char*> order;
    int auth;
};

const std::vector<TVariableGroup>& VariableGroups() {
    static const std::vector<TVariableGroup> groups = {
        {{"EXECUTABLE_PATH", "SCRIPT_NAME", "URL", "URI", "HTTP_URL"},
         {"SCRIPT_NAME", "EXECUTABLE_PATH", "URL", "HTTP_URL", "URI"},
         0},
        {{"QUERY_STRING", "QUERY"}, {"QUERY_STRING", "QUERY"}, 0},
        {{"SERVER_SOFTWARE", "SERVER_NAME"}, {"SERVER_SOFTWARE", "SERVER_NAME"}, 0},
        {{"REMOTE_ADDR", "REMOTE_ADDRESS", "IP"}, {"REMOTE_ADDR", "REMOTE_ADDRESS", "IP"}, 0},
        {{"REQUEST_METHOD", "METHOD"}, {"REQUEST_METHOD", "METHOD"}, 0},
        {{"REMOTE_HOST", "HOST", "DNS"}, {"REMOTE_HOST", "HOST", "DNS"}, 0},
        {{"AUTH_TYPE", "AUTHETICATION_METHOD"}, {"AUTH_TYPE", "AUTHETICATION_METHOD"}, 0},
        {{"HTTP_USER_AGENT", "USER_AGENT"}, {"USER_AGENT", "HTTP_USER_AGENT"}, 0},
        {{"HTTP_REFERER", "REFERER"}, {"REFERER", "HTTP_REFERER"}, 0},
        {{"SERVER_PROTOCOL", "REQUEST_PROTOCOL", "PROTOCOL"},
         {"SERVER_PROTOCOL", "REQUEST_PROTOCOL", "PROTOCOL"},
         0},
        {{"HTTP_COOKIE", "COOKIE"}, {"HTTP_COOKIE", "COOKIE"}, 0},
        {{"DOCUMENT_ROOT", "PATH_TRANSLATED", "PATH"}, {"DOCUMENT_ROOT", "PATH_TRANSLATED", "PATH"}, 0},
        {{"AUTH_USER", "AUTHENTICATED_USERNAME"}, {"AUTH_USER", "AUTHENTICATED_USERNAME"}, 1},
        {{"AUTH_PASSWORD", "AUTHENTICATED_PASSWORD"}, {"AUTH_PASSWORD", "AUTHENTICATED_PASSWORD"}, 2},
    };
    return groups;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

void StopReadingWatchdog() {
    TWatchDogThread* w;
    {
        std::lock_guard<std::mutex> lk(GWatchDogMutex);
        w = GWatchDog;
        GWatchDog = nullptr;
    }
    GDeadlineArmed.store(false);
    delete w;
}

// ---- Body

int32_t THttpEngine::ReadClient(void* Buffer, int32_t Count) {
    TRequestContext& C = RequestContext();
    if (!C.InStream) return -1;
    ProcessPendingMessages();
    if (!Buffer || Count <= 0) return 0;
    const bool watch = !IsLibraryProcess() && GetContentLength() >= WatchDogMinContentLength;
    if (watch) ArmReadingWatchdog();
    struct TDisarm {
        bool on;
        ~TDisarm() {
            if (on) DisarmReadingWatchdog();
        }
    } disarm{watch};

    auto* p = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    int64_t last = 0;
    while (done < Count) {
        last = C.InStream->Read(p + done, std::min<int32_t>(Count - done, 1032));
        if (last <= 0) break;  // 0 is the end of the input: the request goes on with what came
        done += static_cast<int32_t>(last);
        if (watch) ArmReadingWatchdog();
    }
    if (FDebugMode != NoDebug && done > 0 && C.ClientInput) {
        C.ClientInput->Seek(0, soEnd);
        C.ClientInput->WriteBuffer(p, done);
    }
    if (done == 0 && last < 0) return -1;
    return done;
}

int32_t UploadRead(void* Buffer, int32_t Count) {
    THttpEngine* pe = ProcessEngine();
    return pe ? pe->ReadClient(Buffer, Count) : -1;
}

// ---- Server variables

std::string THttpEngine::GetServerVariable(const std::string& Name) {
    TRequestContext& C = RequestContext();
    std::string n = UpperCase(Name);
    for (char& c : n)
        if (c == '-' || c == ' ') c = '_';
    auto lookup = [&](const std::string& k) { return C.Variables ? C.Variables->Values(k) : std::string(); };
    std::string v = lookup(n);
    if (v.empty()) {
        for (const TVariableGroup& g : VariableGroups()) {
            bool member = false;
            for (const char* m : g.members) member = member || n == m;
            if (!member) continue;
            for (const char* k : g.order) {
                v = lookup(k);
                if (!v.empty()) break;
            }
            if (v.empty() && g.auth) {
                std::string user, password;
                DecodeBasicAuthorization(GetServerVariable("HTTP_AUTHORIZATION"), user, password);
                v = g.auth == 1 ? user : password;
            }
            break;
        }
    }
    if (v.empty()) v = GetHostServerVariable(Name);
    return v;
}

std::string THttpEngine::GetHostServerVariable(const std::string& /*Name*/) {
    return "";
}

std::string THttpEngine::GetServerSoftware() {
    return GetServerVariable("SERVER SOFTWARE");
}
std::string THttpEngine::GetGatewayInterface() {
    return GetServerVariable("GATEWAY INTERFACE");
}
std::string THttpEngine::GetServerProtocol() {
    return GetServerVariable("SERVER_PROTOCOL");
}
std::string THttpEngine::GetServerPort() {
    return GetServerVariable("SERVER_PORT");
}
bool THttpEngine::GetServerPortSecure() {
    return GetServerVariable("SERVER_PORT_SECURE") == "1";
}
std::string THttpEngine::GetRequestMethod() {
    return GetServerVariable("REQUEST_METHOD");
}
std::string THttpEngine::GetPathInfo() {
    return GetServerVariable("PATH_INFO");
}
std::string THttpEngine::GetPathTranslated() {
    return GetServerVariable("PATH_TRANSLATED");
}
std::string THttpEngine::GetScriptName() {
    return GetServerVariable("SCRIPT_NAME");
}
std::string THttpEngine::GetQueryString() {
    return GetServerVariable("QUERY_STRING");
}
std::string THttpEngine::GetRemoteHost() {
    return GetServerVariable("REMOTE_HOST");
}
std::string THttpEngine::GetRemoteAddr() {
    return GetServerVariable("REMOTE_ADDR");
}
std::string THttpEngine::GetAuthType() {
    return GetServerVariable("AUTH_TYPE");
}
std::string THttpEngine::GetRemoteUser() {
    return GetServerVariable("REMOTE_USER");
}
std::string THttpEngine::GetRemoteIdent() {
    return GetServerVariable("REMOTE_IDENT");
}
std::string THttpEngine::GetContentType() {
    return GetServerVariable("CONTENT_TYPE");
}
int32_t THttpEngine::GetContentLength() {
    return StrToIntDef(GetServerVariable("CONTENT_LENGTH"), 0);
}
std::string THttpEngine::GetUrl() {
    return GetServerVariable("URL");
}
std::string THttpEngine::GetUserAgent() {
    return GetServerVariable("USER_AGENT");
}
std::string THttpEngine::GetHttpCookie() {
    return GetServerVariable("HTTP_COOKIE");
}
std::string THttpEngine::GetHttpReferer() {
    return GetServerVariable("HTTP_REFERER");
}
std::string THttpEngine::GetExecutablePath() {
    return GetServerVariable("EXECUTABLE_PATH");
}

std::string GetEnvVariable(const std::string& Name) {
    const char* v = std::getenv(Name.c_str());
    if (!v) return "";
    std::string s(v);
    if (s.size() > 4095) s.resize(4095);
    if (Name == "SERVER_SOFTWARE" && s.find("ZB") != std::string::npos) return "";
    return s;
}

// ---- Form fields

std::string THttpEngine::GetField(const std::string& Name, const std::string& Default) {
    std::string v = RequestContext().FormFields.Values(Name);
    if (FTrimFields) v = Trim(v);
    return v.empty() ? Default : v;
}

std::unique_ptr<TStringList> THttpEngine::GetFieldNames() {
    auto names = std::make_unique<TStringList>();
    const TStringList& fields = RequestContext().FormFields;
    for (int i = 0; i < fields.Count(); ++i) names->Add(fields.Names(i));
    return names;
}

void THttpEngine::ReadInput(TStrings* Fields) {
    TRequestContext& C = RequestContext();
    if ((FAutoReadLimit > 0 && GetContentLength() > FAutoReadLimit) ||
        LengthBeyondInteger(GetServerVariable("CONTENT_LENGTH")))
        throw Exception("Content length exceeds allowed limit");
    const std::string method = UpperCase(GetRequestMethod());
    if (UpperCase(GetContentType()).find("MULTIPART/FORM-DATA") != std::string::npos) {
        if (!FAllowedMethods->Put()) throw Exception("Method not allowed (PUT)");
        // No owner: requests of a library run on several threads at once, and inserting into
        // the engine's component list from each of them would race.
        auto upload = std::make_unique<THttpFileUpload>(nullptr);
        if (OnUploadPrepareFile)
            upload->OnUploadPrepareFile = OnUploadPrepareFile;
        else
            upload->OnUploadPrepareFile = [this](TObject* Sender, TStrings* Info, TStream*& Out,
                                                 bool& FreeOut, bool& Cancel) {
                PrepareUploadFile(Sender, Info, Out, FreeOut, Cancel);
            };
        upload->ParseUpload(UploadRead, StrToIntDef(GetServerVariable("CONTENT_LENGTH"), 0), Fields);
    } else if (method == "POST") {
        if (!FAllowedMethods->Post()) throw Exception("Method not allowed (POST)");
        int64_t length;
        if (C.InStream &&
            (dynamic_cast<TMemoryStream*>(C.InStream) || dynamic_cast<TFileStream*>(C.InStream)))
            length = C.InStream->Size() - C.InStream->Position();
        else
            length = GetContentLength();
        if (length > 0) {
            if (length > INT32_MAX - 2) throw Exception("Content length exceeds allowed limit");
            // The buffer grows with what arrives; a short body is parsed as far as it came.
            std::string body;
            while (static_cast<int64_t>(body.size()) < length) {
                const size_t old = body.size();
                const int32_t want = static_cast<int32_t>(std::min<int64_t>(length - old, 65536));
                body.resize(old + want);
                const int32_t n = ReadClient(&body[old], want);
                body.resize(old + std::max(n, 0));
                if (n < want) break;
            }
            body += '&';
            ParseUrlEncoded(Fields, body, static_cast<int32_t>(body.size()));
        }
    }
    if (!FAllowedMethods->Get()) {
        if (method == "GET") throw Exception("Method not allowed (GET)");
    } else {
        const std::string query = GetQueryString() + "&";
        ParseUrlEncoded(Fields, query, static_cast<int32_t>(query.size()));
    }
}

bool IsServerIdentityVariable(const std::string& Name) {
    static const char* const names[] = {"AUTH_USER",
                                        "AUTH_PASSWORD",
                                        "AUTH_TYPE",
                                        "AUTHENTICATED_USERNAME",
                                        "AUTHENTICATED_PASSWORD",
                                        "AUTHENTICATION_METHOD",
                                        "AUTHETICATION_METHOD",
                                        "AUTHENTICATION_REALM",
                                        "REMOTE_USER",
                                        "REMOTE_ADDR",
                                        "REMOTE_ADDRESS",
                                        "REMOTE_HOST",
                                        "REMOTE_NAME",
                                        "SERVER_PORT_SECURE",
                                        "HTTPS"};
    std::string n = UpperCase(Trim(Name));
    std::replace(n.begin(), n.end(), ' ', '_');
    std::replace(n.begin(), n.end(), '-', '_');
    return std::find(std::begin(names), std::end(names), n) != std::end(names);
}

void AddClientHeaderVariables(TStrings* Variables,
                              const std::vector<std::pair<std::string, std::string>>& Headers) {
    // The names given so far, as the variable lists compare them (without case).
    std::unordered_set<std::string> given;
    for (int i = 0; i < Variables->Count(); ++i) given.insert(UpperCase(Variables->Names(i)));
    for (const auto& [name, value] : Headers) {
        if (IsServerIdentityVariable(name) || !given.insert(UpperCase(name)).second) continue;
        Variables->Add(name + "=" + value);
    }
}

void ParseUrlEncoded(TStrings* Fields, const std::string& Text, int32_t Length) {
    const size_t n = Length <= 0 ? 0 : std::min(Text.size(), static_cast<size_t>(Length));
    std::vector<std::pair<std::string, std::string>> pairs;
    bool plainNames = true;  // no name holds '=' (which no line could tell from its value)
    size_t start = 0;
    size_t eq = std::string::npos;
    for (size_t i = 0; i < n; ++i) {
        const char c = Text[i];
        if (c == '=') {
            if (eq == std::string::npos) eq = i;
        } else if (c == '&') {
            if (eq != std::string::npos && eq > start) {
                pairs.emplace_back(UrlDecode(Text.substr(start, eq - start)),
                                   UrlDecode(Text.substr(eq + 1, i - eq - 1)));
                plainNames = plainNames && pairs.back().first.find('=') == std::string::npos;
            }
            start = i + 1;
            eq = std::string::npos;
        }
    }
    // Into an empty sorted list, the lines AddFieldValue would leave are made at once: one
    // per name (as the list compares names), with the last pair's spelling and the values
    // joined by CR LF, added in the list's order. Pair by pair, each new name shifted the
    // list and each repeated one copied its value again, so the cost of a body grew with the
    // square of its fields (40,000 fields: 0.9 s).
    auto* list = dynamic_cast<TStringList*>(Fields);
    if (!plainNames || !list || typeid(*list) != typeid(TStringList) || !list->Sorted() ||
        list->Count() > 0) {
        for (const auto& [name, value] : pairs) AddFieldValue(name, value, Fields);
        return;
    }
    const bool sensitive = list->CaseSensitive();
    auto less = [sensitive](const std::string& a, const std::string& b) {
        return (sensitive ? CompareStr(a, b) : CompareText(a, b)) < 0;
    };
    std::map<std::string, size_t, decltype(less)> lineOf(less);
    std::vector<std::pair<std::string, std::string>> lines;
    for (auto& [name, value] : pairs) {
        if (name.empty()) continue;
        const auto [at, added] = lineOf.emplace(name, lines.size());
        if (added) {
            lines.emplace_back(std::move(name), std::move(value));
            continue;
        }
        auto& line = lines[at->second];
        line.first = std::move(name);
        line.second += "\r\n";
        line.second += value;
    }
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (const auto& [name, value] : lines) texts.push_back(name + "=" + value);
    std::sort(texts.begin(), texts.end(), less);
    list->BeginUpdate();
    for (const std::string& t : texts) list->Add(t);
    list->EndUpdate();
}

std::string UrlDecode(const std::string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c == '%' && i + 2 < Text.size() && HexValue(Text[i + 1]) >= 0 && HexValue(Text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(Text[i + 1]) * 16 + HexValue(Text[i + 2]));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(const std::string& Text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Text.size() * 3);
    for (char ch : Text) {
        const auto c = static_cast<uint8_t>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '/' || c == '\\') {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void DecodeBasicAuthorization(const std::string& Value, std::string& User, std::string& Password) {
    std::string encoded = Value;
    const size_t blank = encoded.find(' ');
    if (blank != std::string::npos) encoded = encoded.substr(blank + 1);
    if (encoded.size() > 1032) encoded.resize(1032);
    std::string text;
    uint32_t acc = 0;
    int positions = 0;
    for (char c : encoded) {
        const int v = c == '=' ? 0 : Base64Value(c);
        if (v >= 0) acc = (acc << 6) | static_cast<uint32_t>(v);  // other characters only take a position
        if (++positions == 4) {
            text += static_cast<char>((acc >> 16) & 0xFF);
            text += static_cast<char>((acc >> 8) & 0xFF);
            text += static_cast<char>(acc & 0xFF);
            acc = 0;
            positions = 0;
        }
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return;
    User = Trim(text.substr(0, colon));
    Password = Trim(text.substr(colon + 1));
    if (Password.size() > 1032) Password.resize(1032);
}

// ---- Upload files

void THttpEngine::PrepareUploadFile(TObject* /*Sender*/, TStrings* ContentInfo, TStream*& OutStream,
                                    bool& FreeOutStream, bool& /*CancelUpload*/) {
    TRequestContext& C = RequestContext();
    const std::string dir = ModuleRelativeDir(FTempDir);
    if (!DirectoryExists(dir)) ForceDirectories(dir);
    std::random_device random;
    std::uniform_int_distribution<int32_t> draw(0, 8999999);
    std::string name;
    int fd = -1;
    // Created exclusively: a name that exists (or appears meanwhile) is drawn again. An end
    // signal finds the new file tracked, or none made.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        name = dir + "zn" + IntToStr(draw(random)) + ".tmp";
        TTrackedFileCreation creation;
        if (!creation.Allowed()) break;
        fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            TrackTempFile(name);
        else if (errno != EEXIST)
            break;
    }
    if (fd >= 0) {
        try {
            C.TempFiles.Add(name);
        } catch (...) {
            ::close(fd);
            ::unlink(name.c_str());
            ForgetTempFile(name);
            throw;
        }
    }
    if (fd < 0) throw EFCreateError(Format("Cannot create file \"%s\"", name));
    OutStream = new TOwnedFileStream(fd);
    FreeOutStream = true;
    const std::string field = ContentInfo->Values("Name");
    AddFieldValue(field + "_FILENAME", name, &C.FormFields);
    AddFieldValue(field + "_CONTENT_TYPE", ContentInfo->Values("Content-Type"), &C.FormFields);
}
