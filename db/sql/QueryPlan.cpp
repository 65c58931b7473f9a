#include "db/sql/QueryPlan.h"

#include "db/engine/DataCursor.h"
#include "db/engine/Filter.h"
#include "platform/rtl/SysUtils.h"

namespace {

const char* JoinWord(TJoinType joinType) {
    switch (joinType) {
        case jtInner:
            return "join";
        case jtLeftOuter:
            return "left join";
        default:
            return "cross";
    }
}

std::string FilterText(const TFilter& filter) {
    std::string text = "filter";
    const std::vector<int32_t> indexes = filter.IndexNumbers();
    if (indexes.empty()) return text;
    text += filter.Level() == olWholly ? " by index " : " partly by index ";
    for (size_t i = 0; i < indexes.size(); ++i) text += (i ? "," : "") + IntToStr(indexes[i]);
    return text;
}

}  // namespace

bool TQueryPlan::IsJoinTarget(const TSourceTable* table, TJoinType joinType) const {
    for (TSourceTable* t : Tables)
        for (auto& j : t->Joins)
            if (j->JoinedTable == table && j->JoinType != jtNone &&
                (joinType == jtNone || j->JoinType == joinType))
                return true;
    return false;
}

std::string TQueryPlan::Text() const {
    if (!DrivingTable) return std::string();
    std::string text = LivePlan ? "live" : "result";
    if (LivePlan && OrderByIndexMatched) text += " by index " + IntToStr(OrderByIndexNo);
    if (!LivePlan && SkipOrderBySort) text += " sorted once";
    for (const TSourceTable* t : Tables) {
        text += "; " + t->CorrelationName;
        for (const TPlanFilter& f : Filters)
            if (f.Table == t) text += " " + FilterText(*f.Filter);
        for (auto& j : t->Joins)
            text += std::string(" ") + JoinWord(j->JoinType) + " " + j->JoinedTable->CorrelationName;
    }
    if (IndexCountGiven) text += "; count from index";
    if (HasResidualWhere) text += "; residual where";
    if (HasResidualJoin) text += "; residual join";
    return text;
}

TResultCursor::TResultCursor() = default;
TResultCursor::~TResultCursor() = default;

void TResultCursor::Own(std::unique_ptr<TDataCursor> cursor) {
    FOwned = std::move(cursor);
    FCursor = FOwned.get();
}

void TResultCursor::UseSource(TDataCursor* cursor) {
    FOwned.reset();
    FCursor = cursor;
}

void TResultCursor::Release() {
    FCursor = nullptr;
    FOwned.reset();
}
