// Every node of an expression tree has exactly one owner, also when parsing, cloning,
// preparing, evaluating or rewriting fails half-way: the pool gets each node back once.
#include <climits>
#include <functional>
#include <string>

#include "ExpressionTestSupport.h"

using namespace exprtest;

namespace {

class ExpressionOwnershipTest : public ExpressionTest {
protected:
    void SetUp() override {
        ExpressionTest::SetUp();
        // Enough idle tokens that no operation below creates one: a leaked node then
        // lowers the idle count, a node given back twice raises it.
        std::vector<TExpToken*> spare;
        for (int i = 0; i < 128; ++i) spare.push_back(NewExpToken());
        for (auto*& t : spare) DisposeExpToken(t);
        Idle = ExpTokenStack()->IdleCount();
        Rec = Table.NewRecord();
        Table.Put<int32_t>(Rec, "Qty", 7);
        Table.Put<int16_t>(Rec, "Small", 2);
        Table.PutStr(Rec, "Name", "x");
    }

    int32_t Idle = 0;
    TRecord Rec;
};

// A node whose value buffer claims more than the heap can give: copying it raises 11016
// before anything is copied. The real size comes back with the guard.
class TUncopyable {
public:
    explicit TUncopyable(TExpToken* node) : FNode(node), FSize(node->BufferSize) {
        node->BufferSize = INT32_MAX;
    }
    ~TUncopyable() { FNode->BufferSize = FSize; }
    TUncopyable(const TUncopyable&) = delete;
    TUncopyable& operator=(const TUncopyable&) = delete;

private:
    TExpToken* FNode;
    int32_t FSize;
};

TEST_F(ExpressionOwnershipTest, ACopyFailingHalfWayGivesEveryNodeBackOnce) {
    const auto getter = Table.Getter();
    const auto clone = [](TExpTree& t) { CloneExpressionTree(t.get()); };
    const auto prepare = [&](TExpTree& t) {
        PrepareExpressionTree(t.get(), nullptr, getter, false, false, 0, 0);
    };
    struct TCase {
        const char* Name;
        const char* Text;
        std::function<TExpToken*(TExpToken*)> Node;  // the node that cannot be copied
        std::function<void(TExpTree&)> Work;
        bool ChangesTree;
    };
    const TCase cases[] = {
        {"clone", "Qty + Small * 2 > 3 AND Name = 'x'", [](TExpToken* t) { return t->First->First->Second; },
         clone, false},
        {"clone of a list", "Qty IN (1, 2, 3)", [](TExpToken* t) { return t->Second->Second->Second; }, clone,
         false},
        {"prepare", "Qty + Small * 2 > 3 AND Name = 'x'",
         [](TExpToken* t) { return t->First->First->Second; }, prepare, false},
        {"prepare IF", "IF(Active THEN Qty ELSE Qty + 1) = 1", [](TExpToken* t) { return t->First->Third; },
         prepare, false},
        {"prepare a list", "Qty IN (1, 2, 3)", [](TExpToken* t) { return t->Second->Second; }, prepare,
         false},
        {"evaluate", "Qty + Small * 2 > 3 AND Name = 'x'",
         [](TExpToken* t) { return t->First->First->Second; },
         [&](TExpTree& t) { EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, getter); }, false},
        {"condition check", "Qty IS NULL AND Small = 1", [](TExpToken* t) { return t->Second; },
         [](TExpTree& t) { CheckConditionTree(t); }, true},
    };
    for (const auto& c : cases) {
        {
            TExpTree t = Check(c.Text);
            TExpTree pristine = CloneExpressionTree(t.get());
            TExpToken* node = c.Node(t.get());
            {
                TUncopyable guard(node);
                EXPECT_EQ(ErrorOf([&] { c.Work(t); }, ZIZIVU_OSNOMEMORY),
                          FormatEngineErrorMessage(ZIZIVU_OSNOMEMORY, "", "", "", ""))
                    << c.Name;
            }
            if (c.ChangesTree) {
                // The dropped operand is gone, the rest is still one tree.
                ASSERT_NE(t, nullptr) << c.Name;
                EXPECT_EQ(t->First, nullptr) << c.Name;
                EXPECT_EQ(t->Second, node) << c.Name;
            } else {
                EXPECT_TRUE(ExpressionTreesEqual(t.get(), pristine.get())) << c.Name;
            }
        }
        EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle) << c.Name;
    }
}

TEST_F(ExpressionOwnershipTest, AFailedBooleanRewriteLeavesTheNodeAsItWas) {
    {
        TExpTree t = Parse("Active");
        ASSERT_TRUE(Table.Bind(t.get()));
        {
            TUncopyable guard(t.get());
            EXPECT_EQ(ErrorOf([&] { MakeBooleanComparison(t.get()); }, ZIZIVU_OSNOMEMORY),
                      FormatEngineErrorMessage(ZIZIVU_OSNOMEMORY, "", "", "", ""));
        }
        EXPECT_EQ(t->NodeKind, nkColumn);
        EXPECT_EQ(t->First, nullptr);
        EXPECT_EQ(t->Second, nullptr);
        MakeBooleanComparison(t.get());
        EXPECT_EQ(t->First->ColumnName, "Active");
        EXPECT_EQ(t->Second->Get<uint16_t>(), 1);
    }
    EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle);
}

TEST_F(ExpressionOwnershipTest, CallersFailingHalfWayLeakNothing) {
    // The column routine refuses its second read.
    int reads = 0;
    const auto getter = Table.Getter();
    const TGetColumnValueFunc failing = [&](void* owner, void* rec, TExpToken* r) {
        if (++reads == 2) throw Exception("record gone");
        getter(owner, rec, r);
    };
    {
        TExpTree t = Check("Qty + Small * 2 > 3 AND Name = 'x'");
        EXPECT_THROW(EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, failing), Exception);
        EXPECT_EQ(reads, 2);
    }
    EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle);

    // The sub-select refuses its filter while the result token borrows both operands.
    {
        TExpTree t = Check("Qty IN (SELECT k FROM t)");
        Statement.Queries.back()->FailFilter = true;
        EXPECT_THROW(EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, getter), Exception);
        EXPECT_EQ(Statement.Queries.back()->FilterCalls, 1);
    }
    EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle);

    // A parse failing after it handed parameters and a sub-select to its statement.
    for (const char* text : {"a = ? AND b IN (SELECT k FROM t) AND (c +", "? + ? * CAST(? AS CHAR(x"}) {
        EXPECT_NE(ErrorOf([&] { Parse(text, pfCondition, &Statement); }), "(no error)") << text;
        EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle) << text;
    }
}

}  // namespace
