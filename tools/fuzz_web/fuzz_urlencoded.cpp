// Fuzz target: URL-encoded form parsing, URL decoding and encoding, basic authorization.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    TStringList fields;
    fields.SetSorted(true);
    ParseUrlEncoded(&fields, text + "&", static_cast<int32_t>(text.size() + 1));
    // A pair without a name is never added. A name that decodes to text beginning with '='
    // ("%3D") is added as it decodes, and its line then reads as one without a name.
    const bool encodedEquals = text.find("%3d") != std::string::npos || text.find("%3D") != std::string::npos;
    for (int i = 0; i < fields.Count(); ++i)
        if (fields.Names(i).empty() && !encodedEquals) std::abort();

    // Decoding never grows the text; encoding is undone by decoding.
    if (UrlDecode(text).size() > text.size()) std::abort();
    if (UrlDecode(UrlEncode(text)) != text) std::abort();

    std::string user = "u", password = "p";
    DecodeBasicAuthorization(text, user, password);
    if (password.size() > 1032) std::abort();
    return 0;
}
