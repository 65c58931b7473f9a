#include "db/storage/EngineErrors.h"

#include <mutex>

#include "platform/rtl/SyncObjs.h"

namespace {

// How a message's placeholders are filled: T table, F field, I index, X extra text.
struct TEngineMessage {
    uint16_t Code;
    uint16_t ResourceId;
    const char* Fill;
    const char* Text;
};

constexpr TEngineMessage EngineMessages[] = {
    {ZIZIVU_BOF, 12280, "T", "Beginning of file encountered in table '%s'"},
    {ZIZIVU_EOF, 12281, "T", "End of file encountered in table '%s'"},
    {ZIZIVU_RECCHANGED, 12251, "T",
     "Record has been changed or deleted by another user, session, or table cursor in table '%s'"},
    {ZIZIVU_NOCURRREC, 12295, "T", "No current record in table '%s'"},
    {ZIZIVU_RECNOTFOUND, 12282, "T", "Record not found in table '%s'"},
    {ZIZIVU_ENDOFBLOB, 12269, "T", "End of blob data in table '%s' reached prematurely"},
    {ZIZIVU_HEADERCORRUPT, 12256, "T", "Header information corrupt in table '%s'"},
    {ZIZIVU_RECBUFCORRUPT, 12258, "T", "Data record buffers corrupt in table '%s'"},
    {ZIZIVU_BLOCKBUFCORRUPT, 12259, "T", "BLOB block buffers corrupt in table '%s'"},
    {ZIZIVU_PAGEBUFCORRUPT, 12257, "T", "Index page buffers corrupt in table '%s'"},
    {ZIZIVU_READERR, 12242, "T", "Error reading from table '%s'"},
    {ZIZIVU_WRITEERR, 12243, "T", "Error writing to table '%s'"},
    {ZIZIVU_CANNOTDELETE, 12237, "T", "Cannot delete table '%s'"},
    {ZIZIVU_HEADERACCESS, 12236, "T", "Error accessing header information for table '%s'"},
    {ZIZIVU_MAXRECSIZE, 12253, "T", "Maximum record size exceeded in table '%s'"},
    {ZIZIVU_TABLEFULL, 12294, "T", "The table '%s' is full and cannot contain any more data"},
    {ZIZIVU_TOOMANYFILTERS, 12285, "T", "Too many filters defined for table '%s'"},
    {ZIZIVU_INDEXLIMIT, 12254, "T",
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in table '%s'"},
    {ZIZIVU_FIELDLIMIT, 12252, "T",
     "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in "
     "table '%s'"},
    {ZIZIVU_TOOMANYBLOBS, 12272, "T", "Too many blobs opened in table '%s'"},
    {ZIZIVU_BLOBLIMIT, 12273, "T",
     "Too many blob fields or invalid blob block size specified for table '%s'"},
    {ZIZIVU_KEYVIOL, 12250, "IT", "Duplicate key found in index '%s' of table '%s'"},
    {ZIZIVU_MINVALERR, 12263, "FT",
     "The value for the field '%s' in table '%s' is below the minimum allowable value"},
    {ZIZIVU_MAXVALERR, 12264, "FT",
     "The value for the field '%s' in table '%s' is above the maximum allowable value"},
    {ZIZIVU_REQDERR, 12262, "FT", "A value must be provided for the field '%s' in table '%s'"},
    {ZIZIVU_INVALIDFIELD, 12260, "FT", "Invalid field number or name '%s' specified for table '%s'"},
    {ZIZIVU_PRIMARYEXISTS, 12274, "T",
     "A primary index is already defined for table '%s' and cannot be added again"},
    {ZIZIVU_INVALIDBLOBOFFSET, 12270, "T", "Invalid blob offset into table '%s' specified"},
    {ZIZIVU_INVALIDFIELDDEF, 12265, "FT",
     "Invalid field definition specified for the field '%s' in table '%s'"},
    {ZIZIVU_INVALIDVALCHECK, 12286, "FT",
     "Invalid default, min or max validity check, or expression specified for '%s' in table '%s'"},
    {ZIZIVU_INDEXNAMEMISSING, 12276, "T",
     "The secondary index name is missing or not specified for table '%s'"},
    {ZIZIVU_INVALIDPASSWORD, 12289, "T", "Password provided for table '%s' is invalid"},
    {ZIZIVU_INVALIDINDEXNAME, 12278, "IT", "Invalid secondary index name '%s' specified for table '%s'"},
    {ZIZIVU_INVALIDINDEXFIELD, 12279, "FIT",
     "Invalid field number '%s' specified in index '%s' for table '%s'"},
    {ZIZIVU_INVALIDKEYSIZE, 12261, "IT", "Invalid key size specified in index '%s' for table '%s'"},
    {ZIZIVU_INDEXEXISTS, 12277, "IT", "The secondary index '%s' already exists for table '%s'"},
    {ZIZIVU_INVALIDBLOBLEN, 12267, "T", "Invalid blob length in table '%s'"},
    {ZIZIVU_INVALIDBLOBHANDLE, 12271, "T", "Invalid blob handle for table '%s' specified"},
    {ZIZIVU_TABLEINUSE, 12241, "T", "table '%s' is already in use"},
    {ZIZIVU_INVALIDFIELDNAME, 12287, "FT", "Invalid or duplicate field name '%s' specified for table '%s'"},
    {ZIZIVU_INVALIDFILTERHANDLE, 12283, "T", "Invalid filter handle specified for table '%s'"},
    {ZIZIVU_FILTERERR, 12284, "TX", "Filter error for table '%s' - %s"},
    {ZIZIVU_CANNOTDROPPRIMARY, 12275, "T", "The primary index cannot be removed from table '%s'"},
    {ZIZIVU_TABLELOCKED, 12238, "T", "The table '%s' is already locked by another user"},
    {ZIZIVU_UNLOCKFAILED, 12240, "T", "Cannot unlock table or record in table '%s'"},
    {ZIZIVU_LOCKFAILED, 12239, "T", "General lock failure with table '%s'"},
    {ZIZIVU_NEEDEXCLUSIVE, 12255, "T", "table '%s' must be opened exclusively"},
    {ZIZIVU_RECLOCKFAILED, 12244, "T", "Record in table '%s' is in use by another user"},
    {ZIZIVU_PASSWORDREQUIRED, 12288, "T", "Insufficient rights to table '%s', a password is required"},
    {ZIZIVU_INVALIDBLOBFIELD, 12268, "FT", "Invalid blob field '%s' specified for table '%s'"},
    {ZIZIVU_NOTINITIALIZED, 12292, "", "Engine not initialized"},
    {ZIZIVU_OSPATHNOTFOUND, 12234, "T", "Invalid path or file name for table '%s'"},
    {ZIZIVU_OSTOOMANYFILES, 12245, "T", "Too many files open while attempting to open table '%s'"},
    {ZIZIVU_OSACCESSDENIED, 12235, "T", "Access denied to table '%s'"},
    {ZIZIVU_OSBADHANDLE, 12246, "T", "Invalid file handle for table '%s'"},
    {ZIZIVU_OSNOMEMORY, 12233, "",
     "There is insufficient operating system memory available for the current operation"},
    {ZIZIVU_INVALIDMEMLENGTH, 12290, "T", "Invalid length for in-memory table '%s'"},
    {ZIZIVU_OSBADDRIVE, 12248, "T", "Access denied to logical operating system device for table '%s'"},
    {ZIZIVU_OSNOTSAMEDEVICE, 12247, "T", "table '%s' has been moved"},
    {ZIZIVU_OSUNKNOWN, 12232, "T", "An unknown operating system error occurred with table '%s'"},
    {ZIZIVU_SQLERROR, 12293, "X", "SQL error - %s"},
    {ZIZIVU_BADVERSION, 12249, "T", "table '%s' is not the correct version"},
    {ZIZIVU_INVALIDINDEXTYPE, 12266, "IT", "Invalid field type specified for index '%s' in table '%s'"},
    {ZIZIVU_TABLEEXISTS, 12296, "T", "The table '%s' already exists"},
    {ZIZIVU_LANGDRIVERMISSING, 12291, "T",
     "The language driver for table '%s' is not available or installed"},
};

// Every text takes one argument per fill letter; the resource ids are 12232-12296, each
// once.
constexpr bool FillsMatchPlaceholders() {
    for (const auto& m : EngineMessages) {
        int placeholders = 0, fills = 0;
        for (const char* p = m.Text; *p; ++p)
            if (p[0] == '%' && p[1] == 's') ++placeholders;
        for (const char* f = m.Fill; *f; ++f) ++fills;
        if (placeholders != fills) return false;
    }
    return true;
}
constexpr bool ResourceIdsCoverTheirRange() {
    constexpr int First = 12232, Count = sizeof(EngineMessages) / sizeof(EngineMessages[0]);
    bool seen[Count] = {};
    for (const auto& m : EngineMessages) {
        int k = m.ResourceId - First;
        if (k < 0 || k >= Count || seen[k]) return false;
        seen[k] = true;
    }
    return Count == 65;
}
static_assert(FillsMatchPlaceholders());
static_assert(ResourceIdsCoverTheirRange());

const char* const UnknownErrorText = "Unknown error occurred with table '%S'";

const TEngineMessage* FindMessage(uint16_t code) {
    for (const auto& m : EngineMessages)
        if (m.Code == code) return &m;
    return nullptr;
}

// Names in the context are short strings.
std::string Short(const std::string& s) {
    return s.size() > 255 ? s.substr(0, 255) : s;
}

// Fills the "%s" placeholders of a message text in order (the texts hold no other
// specifier; "%S" is the same placeholder).
std::string FillPlaceholders(const char* text, const std::vector<const std::string*>& args) {
    std::string out;
    size_t next = 0;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '%' && (p[1] == 's' || p[1] == 'S')) {
            if (next < args.size()) out += *args[next];
            ++next;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

struct TErrorContext {
    uint16_t Code = 0;
    uint16_t Detail = 0;  // operating-system detail; nothing sets it
    std::string TableName, FieldName, IndexName, Extra;
};

TCriticalSection& EngineLock() {
    static TCriticalSection lock;
    return lock;
}

TErrorContext& Context() {
    static TErrorContext ctx;
    return ctx;
}

void StoreContext(uint16_t code, const std::string& table, const std::string& field, const std::string& index,
                  const std::string& extra) {
    TErrorContext& c = Context();
    c.Code = code;
    c.TableName = Short(table);
    c.FieldName = Short(field);
    c.IndexName = Short(index);
    c.Extra = Short(extra);
}

std::string ComposeMessage(uint16_t code, const std::string& table, const std::string& field,
                           const std::string& index, const std::string& extra) {
    const std::string t = Short(table), f = Short(field), i = Short(index), x = Short(extra);
    std::string msg;
    if (const TEngineMessage* m = FindMessage(code)) {
        if (code == ZIZIVU_NOTINITIALIZED || code == ZIZIVU_OSNOMEMORY) {
            msg = m->Text;
        } else {
            std::vector<const std::string*> args;
            for (const char* k = m->Fill; *k; ++k) {
                switch (*k) {
                    case 'T':
                        args.push_back(&t);
                        break;
                    case 'F':
                        args.push_back(&f);
                        break;
                    case 'I':
                        args.push_back(&i);
                        break;
                    case 'X':
                        args.push_back(&x);
                        break;
                }
            }
            msg = FillPlaceholders(m->Text, args);
        }
    } else {
        msg = FillPlaceholders(UnknownErrorText, {&t});
    }
    // Held as a short string, handed out with at most 254 characters.
    if (msg.size() > 255) msg.resize(255);
    if (msg.size() > EngineErrorMessageMax) msg.resize(EngineErrorMessageMax);
    return msg;
}

std::string ExceptionText(uint16_t code, const std::string& text) {
    return "ZIZIVU Engine Error # " + std::to_string(code) + " " + text;
}

}  // namespace

EZIZIVUEngineError::EZIZIVUEngineError(uint16_t code)
    : EZIZIVUEngineError(code, GetEngineErrorMessage(code)) {}

EZIZIVUEngineError::EZIZIVUEngineError(uint16_t code, const std::string& text)
    : EDatabaseError(ExceptionText(code, text)) {
    FErrors.emplace_back(code, text);
}

void ZIZIVUError(uint16_t code) {
    throw EZIZIVUEngineError(code);
}

void EnterEngineLock() {
    EngineLock().Enter();
}
void LeaveEngineLock() {
    EngineLock().Leave();
}

void SetErrorContext(uint16_t code, const std::string& tableName, const std::string& fieldName,
                     const std::string& indexName, const std::string& extra) {
    std::lock_guard<TCriticalSection> guard(EngineLock());
    StoreContext(code, tableName, fieldName, indexName, extra);
}

void ClearErrorContext() {
    std::lock_guard<TCriticalSection> guard(EngineLock());
    Context() = TErrorContext{};
}

std::string GetErrorContextString(int selector) {
    std::lock_guard<TCriticalSection> guard(EngineLock());
    switch (selector) {
        case 0:
            return Context().FieldName;
        case 1:
            return Context().TableName;
        case 2:
            return Context().IndexName;
        default:
            return std::string();
    }
}

uint16_t GetLastEngineError() {
    std::lock_guard<TCriticalSection> guard(EngineLock());
    return Context().Code;
}

std::string GetEngineErrorMessage(uint16_t code) {
    std::lock_guard<TCriticalSection> guard(EngineLock());
    const TErrorContext& c = Context();
    return ComposeMessage(code, c.TableName, c.FieldName, c.IndexName, c.Extra);
}

std::string FormatEngineErrorMessage(uint16_t code, const std::string& tableName,
                                     const std::string& fieldName, const std::string& indexName,
                                     const std::string& extra) {
    return ComposeMessage(code, tableName, fieldName, indexName, extra);
}

void RaiseEngineError(uint16_t code, const std::string& tableName, const std::string& fieldName,
                      const std::string& indexName, const std::string& extra) {
    // Context and message in one lock section, the message from our own arguments: a
    // second thread raising meanwhile cannot put its table name into our text.
    std::string text;
    {
        std::lock_guard<TCriticalSection> guard(EngineLock());
        Context() = TErrorContext{};
        StoreContext(code, tableName, fieldName, indexName, extra);
        text = ComposeMessage(code, tableName, fieldName, indexName, extra);
    }
    throw EZIZIVUEngineError(code, text);
}
