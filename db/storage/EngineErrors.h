#pragma once
// Engine error codes, the process-wide error context, message texts and the one raiser
// through which the file layer, the table engine and the SQL processor fail.
//
// Lower layers return 0 or a negated code; the layer that knows the table name raises.
// The header lives with the file layer because that layer raises too; db/engine
// re-exports it as the engine's own error interface.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/DB.h"
#include "platform/rtl/System.h"

// Positioning and record state
constexpr uint16_t ZIZIVU_BOF = 8705;
constexpr uint16_t ZIZIVU_EOF = 8706;
constexpr uint16_t ZIZIVU_RECCHANGED = 8708;
constexpr uint16_t ZIZIVU_NOCURRREC = 8709;
constexpr uint16_t ZIZIVU_RECNOTFOUND = 8710;
constexpr uint16_t ZIZIVU_ENDOFBLOB = 8711;
// Corrupt buffers
constexpr uint16_t ZIZIVU_HEADERCORRUPT = 8961;
constexpr uint16_t ZIZIVU_RECBUFCORRUPT = 8962;
constexpr uint16_t ZIZIVU_BLOCKBUFCORRUPT = 8963;
constexpr uint16_t ZIZIVU_PAGEBUFCORRUPT = 8965;
// Input/output
constexpr uint16_t ZIZIVU_READERR = 9217;
constexpr uint16_t ZIZIVU_WRITEERR = 9218;
constexpr uint16_t ZIZIVU_CANNOTDELETE = 9220;
constexpr uint16_t ZIZIVU_HEADERACCESS = 9221;
// Limits
constexpr uint16_t ZIZIVU_MAXRECSIZE = 9477;
constexpr uint16_t ZIZIVU_TABLEFULL = 9479;
constexpr uint16_t ZIZIVU_TOOMANYFILTERS = 9482;
constexpr uint16_t ZIZIVU_INDEXLIMIT = 9487;
constexpr uint16_t ZIZIVU_FIELDLIMIT = 9492;
constexpr uint16_t ZIZIVU_TOOMANYBLOBS = 9494;
constexpr uint16_t ZIZIVU_BLOBLIMIT = 9498;
// Validity
constexpr uint16_t ZIZIVU_KEYVIOL = 9729;
constexpr uint16_t ZIZIVU_MINVALERR = 9730;
constexpr uint16_t ZIZIVU_MAXVALERR = 9731;
constexpr uint16_t ZIZIVU_REQDERR = 9732;
// Definitions and handles
constexpr uint16_t ZIZIVU_INVALIDFIELD = 9985;
constexpr uint16_t ZIZIVU_PRIMARYEXISTS = 9993;
constexpr uint16_t ZIZIVU_INVALIDBLOBOFFSET = 9998;
constexpr uint16_t ZIZIVU_INVALIDFIELDDEF = 10000;
constexpr uint16_t ZIZIVU_INVALIDVALCHECK = 10006;
constexpr uint16_t ZIZIVU_INDEXNAMEMISSING = 10010;
constexpr uint16_t ZIZIVU_INVALIDPASSWORD = 10015;
constexpr uint16_t ZIZIVU_INVALIDINDEXNAME = 10022;
constexpr uint16_t ZIZIVU_INVALIDINDEXFIELD = 10023;
constexpr uint16_t ZIZIVU_INVALIDKEYSIZE = 10026;
constexpr uint16_t ZIZIVU_INDEXEXISTS = 10027;
constexpr uint16_t ZIZIVU_INVALIDBLOBLEN = 10029;
constexpr uint16_t ZIZIVU_INVALIDBLOBHANDLE = 10030;
constexpr uint16_t ZIZIVU_TABLEINUSE = 10031;
constexpr uint16_t ZIZIVU_INVALIDFIELDNAME = 10038;
constexpr uint16_t ZIZIVU_INVALIDFILTERHANDLE = 10050;
constexpr uint16_t ZIZIVU_FILTERERR = 10051;
constexpr uint16_t ZIZIVU_CANNOTDROPPRIMARY = 10055;
// Locks
constexpr uint16_t ZIZIVU_TABLELOCKED = 10241;
constexpr uint16_t ZIZIVU_UNLOCKFAILED = 10242;
constexpr uint16_t ZIZIVU_LOCKFAILED = 10249;
constexpr uint16_t ZIZIVU_NEEDEXCLUSIVE = 10253;
constexpr uint16_t ZIZIVU_RECLOCKFAILED = 10258;
// Rights
constexpr uint16_t ZIZIVU_PASSWORDREQUIRED = 10498;
// Engine and BLOB fields
constexpr uint16_t ZIZIVU_INVALIDBLOBFIELD = 10753;
constexpr uint16_t ZIZIVU_NOTINITIALIZED = 10758;
// Operating-system results
constexpr uint16_t ZIZIVU_OSPATHNOTFOUND = 11010;
constexpr uint16_t ZIZIVU_OSTOOMANYFILES = 11012;
constexpr uint16_t ZIZIVU_OSACCESSDENIED = 11013;
constexpr uint16_t ZIZIVU_OSBADHANDLE = 11014;
constexpr uint16_t ZIZIVU_OSNOMEMORY = 11016;
constexpr uint16_t ZIZIVU_INVALIDMEMLENGTH = 11017;
constexpr uint16_t ZIZIVU_OSBADDRIVE = 11023;
constexpr uint16_t ZIZIVU_OSNOTSAMEDEVICE = 11025;
constexpr uint16_t ZIZIVU_OSUNKNOWN = 11047;
// SQL, version, index type, existence, language driver
constexpr uint16_t ZIZIVU_SQLERROR = 11949;
constexpr uint16_t ZIZIVU_BADVERSION = 12035;
constexpr uint16_t ZIZIVU_INVALIDINDEXTYPE = 12292;
constexpr uint16_t ZIZIVU_TABLEEXISTS = 13060;
constexpr uint16_t ZIZIVU_LANGDRIVERMISSING = 15878;

// Longest message handed out by GetEngineErrorMessage.
constexpr size_t EngineErrorMessageMax = 254;

// One entry of an engine exception's error list.
class TZIZIVUError : public TObject {
public:
    TZIZIVUError(uint16_t code, std::string message) : FErrorCode(code), FMessage(std::move(message)) {}
    uint16_t ErrorCode() const { return FErrorCode; }
    const std::string& Message() const { return FMessage; }

private:
    uint16_t FErrorCode;
    std::string FMessage;
};

// The exception through which every engine error code reaches the application.
// Message: "ZIZIVU Engine Error # " + code + " " + the code's text.
class EZIZIVUEngineError : public EDatabaseError {
public:
    // Text from the error context (GetEngineErrorMessage).
    explicit EZIZIVUEngineError(uint16_t code);
    // Text already composed by the caller.
    EZIZIVUEngineError(uint16_t code, const std::string& text);
    const std::vector<TZIZIVUError>& Errors() const { return FErrors; }
    // Code of the first error entry.
    uint16_t ErrorCode() const { return FErrors.empty() ? 0 : FErrors.front().ErrorCode(); }

private:
    std::vector<TZIZIVUError> FErrors;
};

// Raises EZIZIVUEngineError for the code with the text of the current error context.
[[noreturn]] void ZIZIVUError(uint16_t code);

// The engine's critical section (re-entrant); also guards the error context.
void EnterEngineLock();
void LeaveEngineLock();

void SetErrorContext(uint16_t code, const std::string& tableName, const std::string& fieldName,
                     const std::string& indexName, const std::string& extra);
void ClearErrorContext();
// 0 field name, 1 table name, 2 index name; anything else an empty string.
std::string GetErrorContextString(int selector);
uint16_t GetLastEngineError();
// The code's text filled from the error context, at most 254 characters.
std::string GetEngineErrorMessage(uint16_t code);
// The code's text filled from the given names, at most 254 characters (no context access).
std::string FormatEngineErrorMessage(uint16_t code, const std::string& tableName,
                                     const std::string& fieldName, const std::string& indexName,
                                     const std::string& extra);
// Records the context and raises EZIZIVUEngineError; never returns.
[[noreturn]] void RaiseEngineError(uint16_t code, const std::string& tableName = "",
                                   const std::string& fieldName = "", const std::string& indexName = "",
                                   const std::string& extra = "");
