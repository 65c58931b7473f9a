#pragma once
// What the expression layer needs from the SQL processor above it: the query statement
// that owns a parser (parameter markers, sub-selects) and the query of an IN (SELECT ...).
// The SQL processor implements both; the expression layer only calls them.
#include <cstdint>

class TExpToken;
class TExpressionParser;

// The query of an IN (SELECT ...), owned by its statement.
class TSubQuery {
public:
    virtual ~TSubQuery() = default;
    // Parses the SELECT at the parser's current token as a sub-select; on return the
    // first token after the statement is current.
    virtual void ParseSubSelect(TExpressionParser& parser) = 0;
    virtual int32_t ResultColumnCount() = 0;
    // Binds the single result column into the holder node (type, size, binding).
    virtual bool BindSubQueryColumn(TExpToken* node) = 0;
    // Installs or updates the filter on the result that keeps the rows whose column
    // equals the comparison's value (the comparison is First = Second).
    virtual void SetSubQueryFilter(TExpToken* comparison) = 0;
    // Rows of the (filtered) result.
    virtual int32_t GetRecordCount() = 0;
};

// The owner of a parser when that owner is a query statement.
class TExpressionOwner {
public:
    virtual ~TExpressionOwner() = default;
    // A new query owned and registered by the statement, set up for a live result.
    virtual TSubQuery* CreateSubQuery() = 0;
    // Parameter markers in order of appearance. The nodes belong to the tree: a parse that
    // fails returns them to the pool with the rest of its partial tree, so a statement
    // whose parse failed must not use (or free) the markers it was given.
    virtual void AddParameter(TExpToken* node) = 0;
};
