// Multipart/form-data uploads: the read window, binary files, fields, cancel, failures and
// the engine's temp files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "tests/web/WebTestSupport.h"

using ::testing::HasSubstr;

namespace {

const std::string Boundary = "------WebKitFormBoundary7MA4YWxkTrZu0gW";  // as it appears in the body

struct TPart {
    std::string name, filename, type, data;
};

std::string Multipart(const std::vector<TPart>& parts, const std::string& boundary = Boundary) {
    std::string body;
    for (const TPart& p : parts) {
        body += boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
        if (!p.filename.empty() || !p.type.empty()) body += "; filename=\"" + p.filename + "\"";
        body += "\r\n";
        if (!p.type.empty()) body += "Content-Type: " + p.type + "\r\n";
        body += "\r\n" + p.data + "\r\n";
    }
    return body + boundary + "--\r\n";
}

std::string BinaryData(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 23);
    }
    // Line breaks and a near-miss of the boundary inside the data.
    if (n > 200) {
        s.replace(100, 4, "\r\n\r\n");
        s.replace(120, Boundary.size(), Boundary.substr(0, Boundary.size() - 1) + "!");
    }
    return s;
}

// Parses a body with the upload parser alone; files go to memory streams.
struct TParsed {
    TStringList fields;
    std::vector<std::pair<std::string, std::string>> files;  // field name, bytes
    std::vector<std::string> infos;                          // header lists of the file parts
    bool result = false;
};

TUploadReadProc ReaderOf(const std::string& body, size_t chunk = 1 << 30) {
    auto pos = std::make_shared<size_t>(0);
    return [&body, pos, chunk](void* buf, int32_t count) -> int32_t {
        size_t n = std::min({static_cast<size_t>(count), body.size() - *pos, chunk});
        std::memcpy(buf, body.data() + *pos, n);
        *pos += n;
        return static_cast<int32_t>(n);
    };
}

void Parse(const std::string& body, TParsed& out, size_t chunk = 1 << 30, int32_t length = -1) {
    THttpFileUpload up(nullptr);
    std::vector<std::unique_ptr<TStringStream>> streams;
    up.OnUploadPrepareFile = [&](TObject*, TStrings* info, TStream*& stream, bool& freeStream, bool&) {
        out.infos.push_back(info->Text());
        auto s = std::make_unique<TStringStream>();
        stream = s.get();
        freeStream = false;
        out.files.emplace_back(info->Values("name"), "");
        streams.push_back(std::move(s));
    };
    out.result = up.ParseUpload(ReaderOf(body, chunk),
                                length < 0 ? static_cast<int32_t>(body.size()) : length, &out.fields);
    for (size_t i = 0; i < streams.size(); ++i) out.files[i].second = streams[i]->DataString();
}

// The file's end, and so the boundary after it, lands at every position around the end of
// the boundary search window (16374) and the buffer end (16384) in one of the fills.
TEST(MultipartUpload, BinaryFileWithBoundaryAroundTheWindow) {
    const int32_t window = TUploadBuffer::Window - static_cast<int32_t>(Boundary.size());
    // The file starts at the front of the buffer and each fill moves it on by `window`;
    // its trailing CR LF + boundary sits at size + 2 - 2 * window in the third fill.
    for (int32_t at = TUploadBuffer::Window - 60; at <= TUploadBuffer::BufferSize + 4; ++at) {
        const size_t size = static_cast<size_t>(at - 2 + 2 * window);
        const std::string file = BinaryData(size, static_cast<uint32_t>(at));
        const std::string body = Multipart({{"note", "", "", "before"},
                                            {"upload", "data.bin", "application/octet-stream", file},
                                            {"note", "", "", "after"}});
        TParsed p;
        Parse(body, p);
        ASSERT_TRUE(p.result);
        ASSERT_EQ(p.files.size(), 1u);
        ASSERT_EQ(p.files[0].second.size(), file.size()) << "boundary at " << at;
        ASSERT_TRUE(p.files[0].second == file) << "boundary at " << at;
        EXPECT_EQ(p.fields.Values("upload"), "data.bin");
        EXPECT_EQ(p.fields.Values("note"), "before\r\nafter");
    }
}

// The boundary's text inside a line of the file is data: wherever it lands in the read
// window (also where a fill moves it to the front of the buffer), the file stays whole.
TEST(MultipartUpload, BoundaryTextInsideALineIsData) {
    const int32_t limit = TUploadBuffer::Window - static_cast<int32_t>(Boundary.size());
    for (int32_t at = limit - 300; at <= limit + 40; ++at) {
        std::string file = BinaryData(20000, static_cast<uint32_t>(at));
        file.replace(static_cast<size_t>(at) - 1, Boundary.size() + 3, "x" + Boundary + "\r\n");
        const std::string body = Multipart(
            {{"upload", "data.bin", "application/octet-stream", file}, {"v", "", "", "a" + Boundary}});
        TParsed p;
        Parse(body, p);
        ASSERT_EQ(p.files.size(), 1u);
        ASSERT_TRUE(p.files[0].second == file) << "boundary text at " << at;
        EXPECT_EQ(p.fields.Values("v"), "a" + Boundary);
    }
}

TEST(MultipartUpload, FortyKilobyteFileInShortReads) {
    const std::string file = BinaryData(40 * 1024, 7);
    const std::string body =
        Multipart({{"f", "x.bin", "application/octet-stream", file}, {"g", "", "", "1"}});
    for (size_t chunk : {1u, 13u, 1032u, 4096u}) {
        TParsed p;
        Parse(body, p, chunk);
        ASSERT_EQ(p.files.size(), 1u);
        EXPECT_TRUE(p.files[0].second == file) << chunk;
        EXPECT_EQ(p.fields.Values("g"), "1") << chunk;
    }
}

TEST(MultipartUpload, FieldsAndPartHeaders) {
    const std::string body =
        "--b0\r\n"
        "Content-Disposition: form-data; NAME=\"tag\"\r\n\r\nred\r\n"
        "--b0\r\n"
        "Content-Disposition: form-data; name=\"tag\"\r\n\r\nline1\r\nline2\r\n"
        "--b0\r\n"
        "content-disposition: form-data; name=\"doc\"; filename=\"my;odd=name.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\n\r\n"
        "--b0\r\n"
        "Content-Disposition: form-data; name=\"empty\"\r\n\r\n\r\n"
        "--b0\r\n"
        "Content-Disposition: form-data; name=\"nofile\"; filename=\"\"\r\n\r\nabc\r\n"
        "--b0--\r\n"
        "epilogue without headers\r\n";
    TParsed p;
    Parse(body, p);
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.fields.Values("tag"), "red\r\nline1\r\nline2");
    EXPECT_EQ(p.fields.Values("doc"), "my;odd=name.txt");
    EXPECT_EQ(p.fields.IndexOfName("empty") >= 0, true);
    EXPECT_EQ(p.fields.Values("nofile"), "abc");  // an empty filename is a plain field
    ASSERT_EQ(p.files.size(), 1u);
    EXPECT_EQ(p.files[0].second, "");
    EXPECT_EQ(p.infos[0],
              "content-disposition=form-data\r\nname=doc\r\nfilename=my;odd=name.txt\r\nContent-Type=text/"
              "plain\r\n");
}

TEST(MultipartUpload, Failures) {
    struct Case {
        std::string body, error;
    };
    const std::vector<Case> cases = {
        {"no line break at all", "Fileupload: No boundary"},
        {"", "Fileupload: No boundary"},
        {"\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n", "Fileupload: No boundary"},
        {"--b\r\ngarbage line\r\n\r\nvalue\r\n--b--\r\n", "Fileupload: No FieldInfo"},
        {"--" + std::string(2000, 'b') + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n",
         "Fileupload: No boundary"},
    };
    for (const Case& c : cases) {
        TParsed p;
        try {
            Parse(c.body, p);
            ADD_FAILURE() << "no exception for " << c.body.substr(0, 30);
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.error) << c.body.substr(0, 30);
        }
    }
}

TEST(MultipartUpload, TruncatedBodyEndsWithoutHanging) {
    const std::string file = BinaryData(30000, 3);
    const std::string body = Multipart({{"f", "x.bin", "application/octet-stream", file}});
    const std::string cut = body.substr(0, 20000);
    TParsed p;
    // Announces the whole body, delivers 20000 bytes, then the end of the input.
    Parse(cut, p, 1 << 30, static_cast<int32_t>(body.size()));
    ASSERT_EQ(p.files.size(), 1u);
    EXPECT_EQ(p.fields.IndexOfName("f"), -1);  // the part never ended
    EXPECT_EQ(p.files[0].second, file.substr(0, p.files[0].second.size()));
}

TEST(MultipartUpload, CancelStopsAndFreesTheStream) {
    struct TTracked : TStringStream {
        bool* freed;
        explicit TTracked(bool* f) : freed(f) {}
        ~TTracked() override { *freed = true; }
    };
    const std::string body = Multipart({{"a", "", "", "1"}, {"f", "x.bin", "", "data"}, {"b", "", "", "2"}});
    THttpFileUpload up(nullptr);
    bool freed = false;
    up.OnUploadPrepareFile = [&](TObject*, TStrings*, TStream*& out, bool& freeOut, bool& cancel) {
        out = new TTracked(&freed);
        freeOut = true;
        cancel = true;
    };
    TStringList fields;
    EXPECT_FALSE(up.ParseUpload(ReaderOf(body), static_cast<int32_t>(body.size()), &fields));
    EXPECT_TRUE(freed);
    EXPECT_EQ(fields.Values("a"), "1");
    EXPECT_EQ(fields.IndexOfName("b"), -1);
}

TEST(MultipartUpload, BoundaryLineCutByTheBufferEnd) {
    // A boundary long enough that the end of its line can fall beyond the buffer while the
    // boundary itself is held: the file starts at the front of the buffer, and its CR LF +
    // boundary moves across buffer positions 15760..15800 (the boundary ends at 16384
    // when it starts at 15782).
    const std::string boundary = "--" + std::string(600, 'q');
    for (int shift = 0; shift <= 40; ++shift) {
        const std::string data = BinaryData(15758 + static_cast<size_t>(shift), 9);
        const std::string body = Multipart({{"f", "a", "", data}, {"g", "", "", "z"}}, boundary);
        TParsed p;
        Parse(body, p);
        ASSERT_EQ(p.files.size(), 1u);
        ASSERT_TRUE(p.files[0].second == data) << shift;
        EXPECT_EQ(p.fields.Values("g"), "z");
    }
}

TEST(MultipartUpload, EngineStoresFilesInItsTempDir) {
    TTestEngine e;
    const std::string dir = TestDir() + "/uploads/sub";
    e.SetTempDir(dir);
    e.AllowedMethods()->SetPut(true);
    const std::string file = BinaryData(40 * 1024, 11);
    const std::string body = Multipart({{"f", "C:\\pics\\a.png", "image/png", file},
                                        {"f", "b.png", "image/png", "second"},
                                        {"t", "", "", "text"}});
    std::vector<std::string> names;
    std::string stored, type, original, t;
    mode_t mode = 0;
    e.OnExecRequest = [&](TObject*) {
        const std::string list = e.GetField("f_FILENAME");
        size_t br = list.find("\r\n");
        ASSERT_NE(br, std::string::npos);
        names = {list.substr(0, br), list.substr(br + 2)};
        stored = ReadFileBytes(names[0]);
        type = e.GetField("f_CONTENT_TYPE");
        original = e.GetField("f");
        t = e.GetField("t");
        struct stat st {};
        stat(names[0].c_str(), &st);
        mode = st.st_mode & 0777;
    };
    auto out = RunRequest(e,
                          {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=x",
                           "CONTENT_LENGTH=" + std::to_string(body.size())},
                          new TChunkStream(body, 1000));
    EXPECT_THAT(out->bytes, ::testing::Not(HasSubstr("Unhandled")));
    ASSERT_EQ(names.size(), 2u);
    const std::regex tempName(std::regex_replace(dir, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
                              "/zn\\d{1,7}\\.tmp");
    EXPECT_TRUE(std::regex_match(names[0], tempName)) << names[0];
    EXPECT_TRUE(std::regex_match(names[1], tempName)) << names[1];
    EXPECT_NE(names[0], names[1]);
    EXPECT_TRUE(stored == file);
    EXPECT_EQ(mode, 0600u);
    EXPECT_EQ(type, "image/png\r\nimage/png");
    EXPECT_EQ(original, "C:\\pics\\a.png\r\nb.png");
    EXPECT_EQ(t, "text");
    // Deleted at the end of the request.
    EXPECT_FALSE(FileExists(names[0]));
    EXPECT_FALSE(FileExists(names[1]));
}

TEST(MultipartUpload, EngineEventChoosesTheTarget) {
    TTestEngine e;
    e.AllowedMethods()->SetPut(true);
    TStringStream target;
    bool senderIsParser = false;
    e.SetOnUploadPrepareFile([&](TObject* s, TStrings*, TStream*& out, bool& freeOut, bool&) {
        senderIsParser = dynamic_cast<THttpFileUpload*>(s) != nullptr;
        out = &target;
        freeOut = false;
    });
    const std::string body = Multipart({{"f", "a.txt", "text/plain", "payload"}});
    bool hasTempField = true;
    e.OnExecRequest = [&](TObject*) { hasTempField = !e.GetField("f_FILENAME").empty(); };
    RunRequest(e,
               {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data",
                "CONTENT_LENGTH=" + std::to_string(body.size())},
               new TStringStream(body));
    EXPECT_EQ(target.DataString(), "payload");
    EXPECT_TRUE(senderIsParser);
    EXPECT_FALSE(hasTempField);
}

}  // namespace
