#include "platform/os/Locale.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Language ids (primary language in the low 10 bits, sublanguage above) of the engine's
// language list, with the ICU locale and the ANSI code page of each.
const TLocaleLanguage Languages[] = {
    {0x0436, "Afrikaans", "af_ZA", 1252},
    {0x041C, "Albanian", "sq_AL", 1250},
    {0x0401, "Arabic (Saudi Arabia)", "ar_SA", 1256},
    {0x0801, "Arabic (Iraq)", "ar_IQ", 1256},
    {0x0C01, "Arabic (Egypt)", "ar_EG", 1256},
    {0x1001, "Arabic (Libya)", "ar_LY", 1256},
    {0x1401, "Arabic (Algeria)", "ar_DZ", 1256},
    {0x1801, "Arabic (Morocco)", "ar_MA", 1256},
    {0x1C01, "Arabic (Tunisia)", "ar_TN", 1256},
    {0x2001, "Arabic (Oman)", "ar_OM", 1256},
    {0x2401, "Arabic (Yemen)", "ar_YE", 1256},
    {0x2801, "Arabic (Syria)", "ar_SY", 1256},
    {0x2C01, "Arabic (Jordan)", "ar_JO", 1256},
    {0x3001, "Arabic (Lebanon)", "ar_LB", 1256},
    {0x3401, "Arabic (Kuwait)", "ar_KW", 1256},
    {0x3801, "Arabic (U.A.E)", "ar_AE", 1256},
    {0x3C01, "Arabic (Bahrain)", "ar_BH", 1256},
    {0x4001, "Arabic (Qatar)", "ar_QA", 1256},
    {0x042D, "Basque", "eu_ES", 1252},
    {0x0423, "Belarusian", "be_BY", 1251},
    {0x0402, "Bulgarian", "bg_BG", 1251},
    {0x0403, "Catalan", "ca_ES", 1252},
    {0x041A, "Croatian", "hr_HR", 1250},
    {0x0405, "Czech", "cs_CZ", 1250},
    {0x0406, "Danish", "da_DK", 1252},
    {0x0413, "Dutch (Standard)", "nl_NL", 1252},
    {0x0813, "Dutch (Belgian)", "nl_BE", 1252},
    {0x0409, "English (USA)", "en_US", 1252},
    {0x0809, "English (UK)", "en_GB", 1252},
    {0x0C09, "English (Australian)", "en_AU", 1252},
    {0x1009, "English (Canadian)", "en_CA", 1252},
    {0x1409, "English (New Zealand)", "en_NZ", 1252},
    {0x1809, "English (Irish)", "en_IE", 1252},
    {0x1C09, "English (South Africa)", "en_ZA", 1252},
    {0x2009, "English (Jamaica)", "en_JM", 1252},
    {0x2409, "English (Caribbean)", "en_029", 1252},
    {0x2809, "English (Belize)", "en_BZ", 1252},
    {0x2C09, "English (Trinidad)", "en_TT", 1252},
    {0x0425, "Estonian", "et_EE", 1257},
    {0x0438, "Faeroese", "fo_FO", 1252},
    {0x0429, "Farsi", "fa_IR", 1256},
    {0x040B, "Finnish", "fi_FI", 1252},
    {0x040C, "French (Standard)", "fr_FR", 1252},
    {0x080C, "French (Belgian)", "fr_BE", 1252},
    {0x0C0C, "French (Canadian)", "fr_CA", 1252},
    {0x100C, "French (Swiss)", "fr_CH", 1252},
    {0x140C, "French (Luxembourg)", "fr_LU", 1252},
    {0x0407, "German (Standard)", "de_DE", 1252},
    {0x0807, "German (Swiss)", "de_CH", 1252},
    {0x0C07, "German (Austrian)", "de_AT", 1252},
    {0x1007, "German (Luxembourg)", "de_LU", 1252},
    {0x1407, "German (Liechtenstein)", "de_LI", 1252},
    {0x0408, "Greek", "el_GR", 1253},
    {0x040D, "Hebrew", "he_IL", 1255},
    {0x040E, "Hungarian", "hu_HU", 1250},
    {0x040F, "Icelandic", "is_IS", 1252},
    {0x0421, "Indonesian", "id_ID", 1252},
    {0x0410, "Italian (Standard)", "it_IT", 1252},
    {0x0810, "Italian (Swiss)", "it_CH", 1252},
    {0x0426, "Latvian", "lv_LV", 1257},
    {0x0427, "Lithuanian", "lt_LT", 1257},
    {0x0414, "Norwegian (Bokmal)", "nb_NO", 1252},
    {0x0814, "Norwegian (Nynorsk)", "nn_NO", 1252},
    {0x0415, "Polish", "pl_PL", 1250},
    {0x0816, "Portuguese (Standard)", "pt_PT", 1252},
    {0x0416, "Portuguese (Brazilian)", "pt_BR", 1252},
    {0x0418, "Romanian", "ro_RO", 1250},
    {0x0419, "Russian", "ru_RU", 1251},
    {0x081A, "Serbian (Latin)", "sr_Latn_RS", 1250},
    {0x0C1A, "Serbian (Cyrillic)", "sr_Cyrl_RS", 1251},
    {0x041B, "Slovak", "sk_SK", 1250},
    {0x0424, "Slovenian", "sl_SI", 1250},
    {0x040A, "Spanish (Castilian)", "es_ES@collation=traditional", 1252},
    {0x080A, "Spanish (Mexican)", "es_MX", 1252},
    {0x0C0A, "Spanish (Modern)", "es_ES", 1252},
    {0x100A, "Spanish (Guatemala)", "es_GT", 1252},
    {0x140A, "Spanish (Costa Rica)", "es_CR", 1252},
    {0x180A, "Spanish (Panama)", "es_PA", 1252},
    {0x1C0A, "Spanish (Dominican Republic)", "es_DO", 1252},
    {0x200A, "Spanish (Venezuela)", "es_VE", 1252},
    {0x240A, "Spanish (Colombia)", "es_CO", 1252},
    {0x280A, "Spanish (Peru)", "es_PE", 1252},
    {0x2C0A, "Spanish (Argentina)", "es_AR", 1252},
    {0x300A, "Spanish (Ecuador)", "es_EC", 1252},
    {0x340A, "Spanish (Chile)", "es_CL", 1252},
    {0x380A, "Spanish (Uruguay)", "es_UY", 1252},
    {0x3C0A, "Spanish (Paraguay)", "es_PY", 1252},
    {0x400A, "Spanish (Bolivia)", "es_BO", 1252},
    {0x440A, "Spanish (El Salvador)", "es_SV", 1252},
    {0x480A, "Spanish (Honduras)", "es_HN", 1252},
    {0x4C0A, "Spanish (Nicaragua)", "es_NI", 1252},
    {0x500A, "Spanish (Puerto Rico)", "es_PR", 1252},
    {0x041D, "Swedish (Standard)", "sv_SE", 1252},
    {0x081D, "Swedish (Finland)", "sv_FI", 1252},
    {0x041E, "Thai", "th_TH", 874},
    {0x041F, "Turkish", "tr_TR", 1254},
    {0x0422, "Ukranian", "uk_UA", 1251},
    {0x042A, "Vietnamese", "vi_VN", 1258},
};

constexpr uint16_t LANG_GERMAN = 0x07;

uint16_t LangOf(uint32_t lcid) {
    return static_cast<uint16_t>(lcid & 0xFFFF);
}
uint16_t SortOf(uint32_t lcid) {
    return static_cast<uint16_t>(lcid >> 16);
}

// ---- Code pages -------------------------------------------------------------------------

struct TCodePage {
    char16_t ToUnicode[256];
    std::unordered_map<char16_t, uint8_t> FromUnicode;
    uint8_t Upper[256];
    uint8_t Lower[256];
};

std::string ConverterName(uint16_t cp) {
    return cp == 874 ? "windows-874" : "windows-" + std::to_string(cp);
}

std::unique_ptr<TCodePage> BuildCodePage(uint16_t cp) {
    auto page = std::make_unique<TCodePage>();
    UErrorCode status = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(ConverterName(cp).c_str(), &status);
    for (int b = 0; b < 256; ++b) {
        char16_t u = static_cast<char16_t>(b);
        if (conv && b >= 0x80) {
            char in = static_cast<char>(b);
            UChar out[4];
            UErrorCode st = U_ZERO_ERROR;
            ucnv_reset(conv);
            ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
            st = U_ZERO_ERROR;
            int32_t len = ucnv_toUChars(conv, out, 4, &in, 1, &st);
            if (U_SUCCESS(st) && len == 1) u = out[0];
        }
        page->ToUnicode[b] = u;
        page->FromUnicode.emplace(u, static_cast<uint8_t>(b));
    }
    if (conv) ucnv_close(conv);
    for (int b = 0; b < 256; ++b) {
        char16_t u = page->ToUnicode[b];
        auto map = [&](UChar32 m) -> uint8_t {
            if (m > 0xFFFF) return static_cast<uint8_t>(b);
            auto it = page->FromUnicode.find(static_cast<char16_t>(m));
            return it == page->FromUnicode.end() ? static_cast<uint8_t>(b) : it->second;
        };
        page->Upper[b] = map(u_toupper(u));
        page->Lower[b] = map(u_tolower(u));
    }
    return page;
}

const TCodePage& CodePage(uint16_t cp) {
    static std::mutex lock;
    static std::map<uint16_t, std::unique_ptr<TCodePage>> pages;
    std::lock_guard<std::mutex> guard(lock);
    auto& slot = pages[cp];
    if (!slot) slot = BuildCodePage(cp);
    return *slot;
}

// ---- Collators --------------------------------------------------------------------------

enum TCollatorKind { ckTertiary, ckSecondary, ckPrimaryCase, ckPrimary };

struct TCollatorCache {
    std::mutex Lock;
    std::map<uint64_t, UCollator*> Collators;
    ~TCollatorCache() {
        for (auto& [key, c] : Collators) ucol_close(c);
    }
};

std::string IcuLocaleOf(uint32_t lcid) {
    const TLocaleLanguage* lang = FindLocaleLanguage(LangOf(lcid));
    if (!lang) return "";
    std::string id = lang->IcuLocale;
    if (SortOf(lcid) == SORT_GERMAN_PHONE_BOOK && (lang->LanguageID & 0x3FF) == LANG_GERMAN)
        id += "@collation=phonebook";
    return id;
}

UCollator* Collator(uint32_t lcid, TCollatorKind kind) {
    static TCollatorCache cache;
    // Collators live until the process ends; each thread remembers the last one it used.
    const uint64_t key = (static_cast<uint64_t>(lcid) << 8) | kind;
    thread_local uint64_t lastKey = ~0ull;
    thread_local UCollator* lastCollator = nullptr;
    if (key == lastKey) return lastCollator;
    std::lock_guard<std::mutex> guard(cache.Lock);
    auto it = cache.Collators.find(key);
    if (it != cache.Collators.end()) {
        lastKey = key;
        lastCollator = it->second;
        return it->second;
    }
    std::string locale = IcuLocaleOf(lcid);
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        c = ucol_open("", &status);
    }
    // Punctuation and symbols take part in the order (string sort).
    ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
    switch (kind) {
        case ckTertiary:
            ucol_setStrength(c, UCOL_TERTIARY);
            break;
        case ckSecondary:
            ucol_setStrength(c, UCOL_SECONDARY);
            break;
        case ckPrimaryCase:
            ucol_setStrength(c, UCOL_PRIMARY);
            ucol_setAttribute(c, UCOL_CASE_LEVEL, UCOL_ON, &status);
            break;
        case ckPrimary:
            ucol_setStrength(c, UCOL_PRIMARY);
            ucol_setAttribute(c, UCOL_CASE_LEVEL, UCOL_OFF, &status);
            break;
    }
    cache.Collators[key] = c;
    lastKey = key;
    lastCollator = c;
    return c;
}

// ---- Formats ----------------------------------------------------------------------------

// Without the invisible direction marks ICU puts into right-to-left patterns and symbols.
std::u16string Visible(const UChar* buf, int32_t n) {
    std::u16string out;
    for (int32_t i = 0; i < n; ++i)
        if (u_charType(buf[i]) != U_FORMAT_CHAR) out += static_cast<char16_t>(buf[i]);
    return out;
}

std::u16string Symbol(UNumberFormat* f, UNumberFormatSymbol sym) {
    UChar buf[64];
    UErrorCode st = U_ZERO_ERROR;
    int32_t n = unum_getSymbol(f, sym, buf, 64, &st);
    if (U_FAILURE(st) || n <= 0 || n > 64) return u"";
    return Visible(buf, n);
}

std::u16string Pattern(UDateFormat* f) {
    UChar buf[128];
    UErrorCode st = U_ZERO_ERROR;
    int32_t n = udat_toPattern(f, false, buf, 128, &st);
    if (U_FAILURE(st) || n <= 0 || n > 128) return u"";
    return Visible(buf, n);
}

std::u16string DateSymbol(UDateFormat* f, UDateFormatSymbolType type, int index) {
    UChar buf[64];
    UErrorCode st = U_ZERO_ERROR;
    int32_t n = udat_getSymbols(f, type, index, buf, 64, &st);
    if (U_FAILURE(st) || n <= 0 || n > 64) return u"";
    return Visible(buf, n);
}

// Spaces of ICU's number and date patterns that code pages lack.
char16_t PlainSpace(char16_t c) {
    if (c == 0x202F || c == 0x2009) return 0x00A0;
    return c;
}

// One character of the code page, or 0 when the text is not exactly one mappable char.
char SingleChar(uint16_t cp, const std::u16string& s) {
    if (s.size() != 1) return 0;
    std::u16string t(1, PlainSpace(s[0]));
    bool ok = true;
    std::string r = UnicodeToCodePage(cp, t, &ok);
    if (!ok && t[0] == 0x00A0) r = " ", ok = true;
    return ok && r.size() == 1 ? r[0] : 0;
}

std::string Text(uint16_t cp, const std::u16string& s) {
    std::u16string t = s;
    for (auto& c : t) c = PlainSpace(c);
    bool ok = true;
    std::string r = UnicodeToCodePage(cp, t, &ok);
    return ok ? r : std::string();
}

bool IsPatternLetter(char16_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// An ICU date pattern in the framework's tokens.
std::string ConvertDatePattern(uint16_t cp, const std::u16string& p) {
    std::u16string out;
    for (size_t i = 0; i < p.size();) {
        char16_t c = p[i];
        if (c == '\'') {
            // Quoted literal; '' is a quote character.
            size_t j = i + 1;
            if (j < p.size() && p[j] == '\'') {
                out += u"\"'\"";
                i = j + 1;
                continue;
            }
            std::u16string lit;
            while (j < p.size()) {
                if (p[j] == '\'') {
                    if (j + 1 < p.size() && p[j + 1] == '\'') {
                        lit += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                lit += p[j++];
            }
            out += u"\"" + lit + u"\"";
            i = j + 1;
            continue;
        }
        if (!IsPatternLetter(c)) {
            out += c;
            ++i;
            continue;
        }
        size_t n = 1;
        while (i + n < p.size() && p[i + n] == c) ++n;
        i += n;
        switch (c) {
            case 'y':
            case 'Y':
            case 'u':
                out += u"yyyy";
                break;  // four digits: text must read back unambiguously
            case 'M':
            case 'L':
                out += std::u16string(n > 4 ? 4 : n, 'M');
                break;
            case 'd':
                out += std::u16string(n > 2 ? 2 : n, 'd');
                break;
            case 'E':
            case 'c':
            case 'e':
                out += n >= 4 ? u"dddd" : u"ddd";
                break;
            case 'h':
            case 'H':
            case 'k':
            case 'K':
                out += std::u16string(n > 2 ? 2 : n, 'h');
                break;
            case 'm':
                out += std::u16string(n > 2 ? 2 : n, 'n');
                break;
            case 's':
                out += std::u16string(n > 2 ? 2 : n, 's');
                break;
            case 'a':
                out += u"AMPM";
                break;
            default:
                break;  // eras, zones and the like have no token
        }
    }
    // Trim what dropped letters may have left at the ends.
    while (!out.empty() && (out.back() == ' ' || out.back() == ',')) out.pop_back();
    while (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return Text(cp, out);
}

// First separator between the fields of a pattern.
std::u16string PatternSeparator(const std::u16string& p, size_t from) {
    for (size_t i = from; i < p.size(); ++i) {
        char16_t c = p[i];
        if (IsPatternLetter(c) || c == ' ' || c == '\'') continue;
        return std::u16string(1, c);
    }
    return u"";
}

}  // namespace

const TLocaleLanguage* LocaleLanguages(size_t& count) {
    count = std::size(Languages);
    return Languages;
}

uint16_t UserDefaultLanguageID() {
    std::string id;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            id = v;
            break;
        }
    }
    id = id.substr(0, id.find_first_of(".@"));
    const std::string language = id.substr(0, id.find('_'));
    const TLocaleLanguage* sameLanguage = nullptr;
    for (const auto& l : Languages) {
        const std::string icu = l.IcuLocale;
        if (icu == id) return l.LanguageID;
        if (!sameLanguage && !language.empty() && icu.substr(0, icu.find('_')) == language) sameLanguage = &l;
    }
    return sameLanguage ? sameLanguage->LanguageID : 0x0409;
}

const TLocaleLanguage* FindLocaleLanguage(uint16_t languageId) {
    for (const auto& l : Languages)
        if (l.LanguageID == languageId) return &l;
    return nullptr;
}

uint16_t LocaleCodePage(uint32_t lcid) {
    const TLocaleLanguage* l = FindLocaleLanguage(LangOf(lcid));
    return l ? l->CodePage : 1252;
}

bool IsLocaleInstalled(uint32_t lcid) {
    const TLocaleLanguage* l = FindLocaleLanguage(LangOf(lcid));
    if (!l) return false;
    uint16_t sort = SortOf(lcid);
    return sort == 0 || (sort == SORT_GERMAN_PHONE_BOOK && (l->LanguageID & 0x3FF) == LANG_GERMAN);
}

std::u16string CodePageToUnicode(uint16_t codePage, std::string_view s) {
    const TCodePage& page = CodePage(codePage);
    std::u16string out(s.size(), u'\0');
    for (size_t i = 0; i < s.size(); ++i) out[i] = page.ToUnicode[static_cast<uint8_t>(s[i])];
    return out;
}

std::string UnicodeToCodePage(uint16_t codePage, std::u16string_view s, bool* lossless) {
    const TCodePage& page = CodePage(codePage);
    std::string out(s.size(), '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        auto it = page.FromUnicode.find(s[i]);
        if (it == page.FromUnicode.end()) {
            out[i] = '?';
            if (lossless) *lossless = false;
        } else {
            out[i] = static_cast<char>(it->second);
        }
    }
    return out;
}

int LocaleCompareStrings(uint32_t lcid, uint32_t flags, const char* s1, int n1, const char* s2, int n2) {
    TCollatorKind kind = ckTertiary;
    if (flags & NORM_IGNORENONSPACE)
        kind = (flags & NORM_IGNORECASE) ? ckPrimary : ckPrimaryCase;
    else if (flags & NORM_IGNORECASE)
        kind = ckSecondary;
    uint16_t cp = LocaleCodePage(lcid);
    std::string_view a = n1 < 0 ? std::string_view(s1) : std::string_view(s1, n1);
    std::string_view b = n2 < 0 ? std::string_view(s2) : std::string_view(s2, n2);
    std::u16string ua = CodePageToUnicode(cp, a), ub = CodePageToUnicode(cp, b);
    UCollationResult r = ucol_strcoll(
        Collator(lcid, kind), reinterpret_cast<const UChar*>(ua.data()), static_cast<int32_t>(ua.size()),
        reinterpret_cast<const UChar*>(ub.data()), static_cast<int32_t>(ub.size()));
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

uint8_t AnsiUpperChar(uint8_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
    switch (c) {
        case 0x9A:
            return 0x8A;
        case 0x9C:
            return 0x8C;
        case 0x9E:
            return 0x8E;
        case 0xFF:
            return 0x9F;
    }
    return c;
}

uint8_t AnsiLowerChar(uint8_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    switch (c) {
        case 0x8A:
            return 0x9A;
        case 0x8C:
            return 0x9C;
        case 0x8E:
            return 0x9E;
        case 0x9F:
            return 0xFF;
    }
    return c;
}

void LocaleMapCase(uint32_t lcid, uint32_t flags, const char* src, size_t n, char* dest) {
    bool upper = (flags & LCMAP_UPPERCASE) != 0;
    if (LangOf(lcid) == 0) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t c = static_cast<uint8_t>(src[i]);
            dest[i] = static_cast<char>(upper ? AnsiUpperChar(c) : AnsiLowerChar(c));
        }
        return;
    }
    const TCodePage& page = CodePage(LocaleCodePage(lcid));
    const uint8_t* table = upper ? page.Upper : page.Lower;
    for (size_t i = 0; i < n; ++i) dest[i] = static_cast<char>(table[static_cast<uint8_t>(src[i])]);
}

namespace {

void ReadLocaleFormats(const TLocaleLanguage* lang, TLocaleFormats& f);

}  // namespace

bool GetLocaleFormats(uint32_t lcid, TLocaleFormats& f) {
    const TLocaleLanguage* lang = FindLocaleLanguage(LangOf(lcid));
    if (!lang) return false;
    // Locale data does not change while the process runs: read each language once.
    static std::mutex lock;
    static std::map<uint16_t, TLocaleFormats> cache;
    std::lock_guard<std::mutex> guard(lock);
    auto it = cache.find(lang->LanguageID);
    if (it == cache.end()) {
        TLocaleFormats read;
        ReadLocaleFormats(lang, read);
        it = cache.emplace(lang->LanguageID, std::move(read)).first;
    }
    f = it->second;
    return true;
}

namespace {

void ReadLocaleFormats(const TLocaleLanguage* lang, TLocaleFormats& f) {
    const char* loc = lang->IcuLocale;
    std::string base(loc);
    if (auto at = base.find('@'); at != std::string::npos) base.resize(at);
    const uint16_t cp = lang->CodePage;
    UErrorCode st = U_ZERO_ERROR;

    // Numbers are written with Latin digits whatever the locale's native digits.
    const std::string latn = base + "@numbers=latn";
    if (UNumberFormat* num = unum_open(UNUM_DECIMAL, nullptr, 0, latn.c_str(), nullptr, &st); U_SUCCESS(st)) {
        f.DecimalSeparator = SingleChar(cp, Symbol(num, UNUM_DECIMAL_SEPARATOR_SYMBOL));
        f.ThousandSeparator = SingleChar(cp, Symbol(num, UNUM_GROUPING_SEPARATOR_SYMBOL));
        unum_close(num);
    }
    st = U_ZERO_ERROR;
    if (UNumberFormat* cur = unum_open(UNUM_CURRENCY, nullptr, 0, latn.c_str(), nullptr, &st);
        U_SUCCESS(st)) {
        f.CurrencyString = Text(cp, Symbol(cur, UNUM_CURRENCY_SYMBOL));
        f.CurrencyDecimals = unum_getAttribute(cur, UNUM_MAX_FRACTION_DIGITS);
        UChar buf[128];
        UErrorCode ps = U_ZERO_ERROR;
        int32_t n = unum_toPattern(cur, false, buf, 128, &ps);
        if (U_SUCCESS(ps) && n > 0 && n <= 128) {
            std::u16string p(reinterpret_cast<const char16_t*>(buf), n);
            if (auto semi = p.find(u';'); semi != std::u16string::npos) p.resize(semi);
            size_t sym = p.find(u'\u00A4');
            size_t digit = p.find_first_of(u"#0");
            if (sym != std::u16string::npos && digit != std::u16string::npos) {
                bool before = sym < digit;
                bool spaced = before ? (sym + 1 < p.size() && !IsPatternLetter(p[sym + 1]) &&
                                        p[sym + 1] != '#' && p[sym + 1] != '0')
                                     : (sym > 0 && p[sym - 1] != '#' && p[sym - 1] != '0');
                // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"; the negative form puts "-" in front.
                f.CurrencyFormat = before ? (spaced ? 2 : 0) : (spaced ? 3 : 1);
                static const int NegOf[4] = {1, 5, 9, 8};
                f.NegCurrFormat = NegOf[f.CurrencyFormat];
            }
        }
        unum_close(cur);
    }

    st = U_ZERO_ERROR;
    if (UDateFormat* sd = udat_open(UDAT_NONE, UDAT_SHORT, base.c_str(), nullptr, 0, nullptr, 0, &st);
        U_SUCCESS(st)) {
        std::u16string p = Pattern(sd);
        f.ShortDateFormat = ConvertDatePattern(cp, p);
        f.DateSeparator = SingleChar(cp, PatternSeparator(p, 0));
        for (int m = 0; m < 12; ++m) {
            f.ShortMonthNames[m] = Text(cp, DateSymbol(sd, UDAT_STANDALONE_SHORT_MONTHS, m));
            f.LongMonthNames[m] = Text(cp, DateSymbol(sd, UDAT_STANDALONE_MONTHS, m));
        }
        for (int d = 0; d < 7; ++d) {
            f.ShortDayNames[d] = Text(cp, DateSymbol(sd, UDAT_SHORT_WEEKDAYS, d + 1));
            f.LongDayNames[d] = Text(cp, DateSymbol(sd, UDAT_WEEKDAYS, d + 1));
        }
        f.TimeAMString = Text(cp, DateSymbol(sd, UDAT_AM_PMS, 0));
        f.TimePMString = Text(cp, DateSymbol(sd, UDAT_AM_PMS, 1));
        udat_close(sd);
    }
    st = U_ZERO_ERROR;
    if (UDateFormat* ld = udat_open(UDAT_NONE, UDAT_FULL, base.c_str(), nullptr, 0, nullptr, 0, &st);
        U_SUCCESS(st)) {
        f.LongDateFormat = ConvertDatePattern(cp, Pattern(ld));
        udat_close(ld);
    }
    st = U_ZERO_ERROR;
    if (UDateFormat* tf = udat_open(UDAT_SHORT, UDAT_NONE, base.c_str(), nullptr, 0, nullptr, 0, &st);
        U_SUCCESS(st)) {
        std::u16string p = Pattern(tf);
        size_t h = p.find_first_of(u"hHkK");
        if (h != std::u16string::npos) {
            f.HasTimeFormat = true;
            f.HourLeadingZero = h + 1 < p.size() && p[h + 1] == p[h];
            f.TwelveHourClock = p.find(u'a') != std::u16string::npos || p.find(u'b') != std::u16string::npos;
            f.TimeSeparator = SingleChar(cp, PatternSeparator(p, h));
        }
        udat_close(tf);
    }
}

}  // namespace
