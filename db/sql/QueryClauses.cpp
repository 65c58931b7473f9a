#include "db/sql/QueryClauses.h"

#include "db/storage/ExpToken.h"

void TResultField::SetColumnName(const std::string& name) {
    if (name == ColumnName) return;
    ColumnName = name;
    if (Alias.empty() && name != "*") Alias = name;
}

void TCreateField::AssignDataType(int32_t fieldNo) {
    const TExpToken* n = Node.get();
    FieldNo = fieldNo;
    if (!n) return;
    const std::string name = n->NodeKind == nkColumn ? n->ColumnName : n->Text;
    if (Redefine && OldNameNode) {
        NewColumnName = name;
        const TExpToken* old = OldNameNode.get();
        ColumnName = old->NodeKind == nkColumn ? old->ColumnName : old->Text;
    } else {
        ColumnName = name;
    }
    DataType = n->DataType;
    SubType = n->SubType;
    if (n->DataType == dtString)
        Size = n->DataSize > 0 ? static_cast<int32_t>(n->DataSize) - 1 : 0;
    else if (n->DataType == dtBytes)
        Size = static_cast<int32_t>(n->DataSize);
    if (n->DataType == dtBCD) Decimals = n->Decimals;
}

void TCreateIndex::BuildFieldList() {
    ColumnNames.Clear();
    for (const TExpTree& n : ColumnNodes) {
        if (n->NodeKind == nkConstant && n->DataType == dtString)
            ColumnNames.Add(n->IsNull ? std::string() : std::string(n->Str()));
        else
            ColumnNames.Add(n->ColumnName);
    }
}

TExpToken* TResultField::ValueExpression() const {
    if (!Expression) return nullptr;
    return IsAggregate() ? Expression->First : Expression.get();
}
