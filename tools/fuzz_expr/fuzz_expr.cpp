// Fuzz target of the expression language: any text either parses or fails with an engine
// error (never a crash, never a lost node); what parses clones into an equal tree; what
// also validates is prepared and evaluated. The first input byte chooses the parse flags.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionParser.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/Library.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_expr: %s\n", what);
        std::abort();
    }
}

// Column types by the first letter of the name; other names are unknown.
uint8_t TypeOfName(const std::string& name, uint8_t& subType) {
    subType = 0;
    switch (name.empty() ? 0 : name[0] | 0x20) {
        case 's':
            return dtString;
        case 'd':
            return dtDate;
        case 't':
            return dtTime;
        case 'p':
            return dtTimeStamp;
        case 'b':
            return dtBoolean;
        case 'i':
            return dtInteger;
        case 'h':
            return dtSmallInt;
        case 'f':
            return dtFloat;
        case 'c':
            return dtBCD;
        case 'w':
            return dtWord;
        case 'x':
            return dtBytes;
        case 'm':
            subType = 22;
            return dtBlob;
        default:
            return 0;
    }
}

uint32_t SizeOfType(uint8_t t) {
    switch (t) {
        case dtString:
            return 21;
        case dtBoolean:
        case dtSmallInt:
        case dtWord:
            return 2;
        case dtFloat:
        case dtBCD:
        case dtTimeStamp:
        case dtBlob:
            return 8;
        case dtBytes:
            return 10;
        default:
            return 4;
    }
}

class TFuzzSubQuery : public TSubQuery {
public:
    void ParseSubSelect(TExpressionParser& p) override {
        // Everything up to the closing parenthesis of the IN.
        int depth = 0;
        while (!p.TokenKindIs(tkEnd)) {
            if (p.TokenKindIs('(')) ++depth;
            if (p.TokenKindIs(')') && depth-- == 0) return;
            p.NextToken();
        }
    }
    int32_t ResultColumnCount() override { return 1; }
    bool BindSubQueryColumn(TExpToken* node) override {
        node->DataType = dtInteger;
        node->SetDataSize(4);
        return true;
    }
    void SetSubQueryFilter(TExpToken* cmp) override { Check(cmp->First && cmp->Second, "sub-select filter"); }
    int32_t GetRecordCount() override { return 1; }
};

class TFuzzOwner : public TExpressionOwner {
public:
    std::vector<std::unique_ptr<TFuzzSubQuery>> Queries;
    TSubQuery* CreateSubQuery() override {
        Queries.push_back(std::make_unique<TFuzzSubQuery>());
        return Queries.back().get();
    }
    void AddParameter(TExpToken* node) override { Check(node->IsParameter == 1, "parameter marker"); }
};

bool Bind(void*, TExpToken* n) {
    uint8_t sub;
    uint8_t t = TypeOfName(n->ColumnName, sub);
    if (!t) return false;
    n->DataType = t;
    n->SubType = sub;
    n->SetDataSize(SizeOfType(t));
    return true;
}

void GetValue(void*, void*, TExpToken* r) {
    std::memset(r->Value, 0, r->BufferSize);
    r->IsNull = r->ColumnName.size() % 3 == 0 ? 1 : 0;
    if (r->DataType == dtString || r->DataType == dtBlob) std::strcpy(r->Str(), "Ab%1");
    if (r->DataType == dtDate) r->Set<int32_t>(730000);
    if (r->DataType == dtTimeStamp) r->Set<double>(730000.0 * 86400000.0);
}

void Tokens(const std::string& text) {
    TExpressionParser p;
    try {
        p.SetText(text);  // a text with a zero byte inside is refused
        for (size_t n = 0; n <= text.size() + 1; ++n) {
            if (p.NextToken() == tkEnd) return;
            (void)p.GetTokenText();
        }
        Check(false, "tokenizer does not advance");
    } catch (const EZIZIVUEngineError&) {
    }
}

void Exercise(const std::string& text, uint8_t flags) {
    Tokens(text);
    // The LIKE matcher on the two halves of the text.
    const std::string half = text.substr(0, text.size() / 2);
    (void)MatchesLikePattern(0, 0, half.c_str(), text.c_str() + half.size());

    TFuzzOwner owner;
    TExpressionParser p(&owner);
    p.SetErrorCode(ZIZIVU_SQLERROR);
    p.SetContext("fuzz");
    TExpTree tree;
    try {
        p.SetText(text);
        p.NextToken();
        tree = p.ParseExpression(flags);
    } catch (const EZIZIVUEngineError& e) {
        Check(e.ErrorCode() == ZIZIVU_SQLERROR, "parse error with a foreign code");
        return;
    }
    Check(tree != nullptr, "parse returned nil");
    {
        TExpTree copy = CloneExpressionTree(tree.get());
        Check(ExpressionTreesEqual(tree.get(), copy.get()), "clone differs");
    }
    try {
        ValidateExpression(ZIZIVU_SQLERROR, "", "fuzz", (flags & 1) != 0, Bind, nullptr, nullptr, tree.get());
    } catch (const EZIZIVUEngineError&) {
        return;
    }
    (void)ExpressionHasColumns(tree.get());
    (void)ExpressionHasAggregates(tree.get());
    (void)ExpressionIsDisjunction(tree.get());
    (void)ExpressionHasNot(tree->First ? tree->First : tree.get());
    try {
        TExpTree prepared =
            PrepareExpressionTree(tree.get(), nullptr, GetValue, false, (flags & 2) != 0, 0, 0);
        TExpTree r1 = EvaluateExpression(tree.get(), nullptr, nullptr, 0, 0, GetValue);
        TExpTree r2 = EvaluateExpression(prepared.get(), nullptr, nullptr, 0, 0, GetValue);
        // Without the filter options (wildcard and case-insensitive equality), a prepared
        // condition answers as the tree it was made from.
        TExpTree plain = PrepareExpressionTree(tree.get(), nullptr, GetValue, true, false, 0, 0);
        TExpTree r3 = EvaluateExpression(plain.get(), nullptr, nullptr, 0, 0, GetValue);
        if (r1->DataType == dtBoolean)
            Check(r1->IsNull == r3->IsNull && (r1->IsNull || r1->Get<uint16_t>() == r3->Get<uint16_t>()),
                  "prepared condition answers differently");
        TExpTree cond = CloneExpressionTree(tree.get());
        CheckConditionTree(cond);
    } catch (const Exception&) {
        // Conversions may refuse a value.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (InitializeLibrary(), true);
    (void)started;
    uint8_t flags = size ? data[0] & 31 : 0;
    std::string text = size ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
    RunWithLanguageSettings(0, 0, [&] { Exercise(text, flags); });
    return 0;
}

// The shared replay driver calls this after the last input, before the leak check.
extern "C" void ZeltoFuzzReplayDone() {
    FinalizeLibrary();
}
