// The WSAPI request record as a host lays it out, read by the adapter. The Process export
// with its bound host functions is tested by tools/isapi_host.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/web/WebTestSupport.h"
#include "web/WsapiEng.h"

namespace {

// A record written the way a foreign host writes it: field by field at the offsets of
// the documented layout, not through our structure.
class TRawRecord {
public:
    TRawRecord() : FBytes(WsapiLayout::Size + 64, 0) {}
    void Text(size_t offset, const std::string& s) { std::memcpy(&FBytes[offset], s.c_str(), s.size() + 1); }
    void Pointer(size_t offset, const char* p) { std::memcpy(&FBytes[offset], &p, sizeof(p)); }
    void Int(size_t offset, int32_t v) {
        for (int i = 0; i < 4; ++i)
            FBytes[offset + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
    }
    int32_t IntAt(size_t offset) const {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(FBytes[offset + i]) << (8 * i);
        return static_cast<int32_t>(v);
    }
    TWsapiRequest* Record() { return reinterpret_cast<TWsapiRequest*>(FBytes.data()); }

private:
    std::vector<uint8_t> FBytes;
};

class THostEngine : public TTestEngine {
public:
    std::map<std::string, std::string> Host;
    std::string GetHostServerVariable(const std::string& Name) override {
        auto it = Host.find(Name);
        return it == Host.end() ? "" : it->second;
    }
};

}  // namespace

TEST(WsapiRecord, LayoutOfThe64BitBuild) {
    static_assert(sizeof(void*) == 8, "these offsets are those of the 8-byte pointer layout");
    const std::vector<std::pair<size_t, size_t>> offsets = {
        {offsetof(TWsapiRequest, RemoteHost), 48},
        {offsetof(TWsapiRequest, RemoteAddress), 56},
        {offsetof(TWsapiRequest, RemoteName), 64},
        {offsetof(TWsapiRequest, Method), 352},
        {offsetof(TWsapiRequest, Accept), 3488},
        {offsetof(TWsapiRequest, Referer), 5664},
        {offsetof(TWsapiRequest, UserAgent), 6944},
        {offsetof(TWsapiRequest, AuthType), 7464},
        {offsetof(TWsapiRequest, ContentType), 7612},
        {offsetof(TWsapiRequest, ContentEncoding), 7868},
        {offsetof(TWsapiRequest, HeaderCount), 9276},
        {offsetof(TWsapiRequest, Headers), 9280},
        {offsetof(TWsapiRequest, ResponseFlags), 10880},
        {offsetof(TWsapiRequest, ResponseStatus), 11752},
        {sizeof(TWsapiRequest), 11760},
    };
    for (size_t i = 0; i < offsets.size(); ++i)
        EXPECT_EQ(offsets[i].first, offsets[i].second) << "field " << i;
}

TEST(WsapiRecord, VariablesFromARecordWrittenAtTheDocumentedOffsets) {
    namespace L = WsapiLayout;
    const char* host = "client.example";
    const char* addr = "192.0.2.7";
    const char* auth = "Basic";
    const char* n1 = "x-Custom";
    const char* v1 = "one";
    const char* n3 = "cookie";
    TRawRecord raw;
    raw.Pointer(L::RemoteHost, host);
    raw.Pointer(L::RemoteAddress, addr);
    raw.Pointer(L::RemoteName, nullptr);
    raw.Text(L::Method, "PUT");
    raw.Text(L::Accept, "text/html");
    raw.Text(L::Referer, "http://r/");
    raw.Text(L::UserAgent, "Agent/2");
    raw.Pointer(L::AuthType, auth);
    raw.Text(L::ContentType, "text/plain");
    raw.Text(L::ContentEncoding, "gzip");
    // The client's headers named as what the server tells of the request are left out.
    const char* n4 = "Authenticated_Username";
    const char* n5 = "query_string";
    const char* v45 = "forged";
    raw.Int(L::HeaderCount, 5);
    raw.Pointer(L::Headers + 6 * sizeof(void*), n4);
    raw.Pointer(L::Headers + 7 * sizeof(void*), v45);
    raw.Pointer(L::Headers + 8 * sizeof(void*), n5);
    raw.Pointer(L::Headers + 9 * sizeof(void*), v45);
    raw.Pointer(L::Headers, n1);
    raw.Pointer(L::Headers + sizeof(void*), v1);
    raw.Pointer(L::Headers + 2 * sizeof(void*), nullptr);  // a pair without a name is skipped
    raw.Pointer(L::Headers + 4 * sizeof(void*), n3);
    raw.Pointer(L::Headers + 5 * sizeof(void*), nullptr);

    THostEngine engine;
    engine.Host = {{"QUERY_STRING", "a=b"},
                   {"SCRIPT_NAME", "/x"},
                   {"CONTENT_LENGTH", " 12 "},
                   {"AUTH_USER", "u"},
                   {"AUTH_PASSWORD", "p"}};
    std::unique_ptr<TStringList> v(BuildWsapiVariables(&engine, raw.Record()));
    const std::vector<std::string> expected = {
        "QUERY_STRING=a=b",
        "SCRIPT_NAME=/x",
        "REQUEST_METHOD=PUT",
        "CONTENT_LENGTH=12",
        "CONTENT_TYPE=text/plain",
        "CONTENT_ENCODING=gzip",
        "REMOTE_HOST=client.example",
        "REMOTE_ADDR=192.0.2.7",
        "REMOTE_NAME=",
        "USER_AGENT=Agent/2",
        "HTTP_REFERER=http://r/",
        "HTTP_ACCEPT=text/html",
        "AUTH_TYPE=Basic",
        "AUTH_USER=u",
        "AUTH_PASSWORD=p",
        "X-CUSTOM=one",
        "COOKIE=",
    };
    ASSERT_EQ(v->Count(), static_cast<int>(expected.size())) << v->Text();
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(v->Get(static_cast<int>(i)), expected[i]);
}

TEST(WsapiRecord, ContentLengthThatIsNoNumberIsZeroAndFullTextAreasAreCut) {
    TRawRecord raw;
    auto* r = raw.Record();
    std::memset(r->Method, 'M', sizeof(r->Method));  // no terminating zero in its area
    r->HeaderCount = -5;
    THostEngine engine;
    engine.Host = {{"CONTENT_LENGTH", "12abc"}};
    std::unique_ptr<TStringList> v(BuildWsapiVariables(&engine, r));
    EXPECT_EQ(v->Values("CONTENT_LENGTH"), "0");
    EXPECT_EQ(v->Values("REQUEST_METHOD"), std::string(sizeof(r->Method), 'M'));
    EXPECT_EQ(v->Count(), 15);
}
