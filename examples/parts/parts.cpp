// parts FOLDER: creates a table in FOLDER through SQL, inserts rows with parameters and
// reads some of them back through a query.
#include <cstdio>
#include <memory>

#include "db/components/Sessions.h"
#include "db/components/ZIZIVUQuery.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: parts FOLDER\n");
        return 2;
    }
    int status = 0;
    try {
        // A query on the tables in FOLDER.
        auto query = [&](const char* sql) {
            auto q = std::make_unique<TZIZIVUQuery>(nullptr);
            q->SetDatabaseName(argv[1]);
            q->SQL()->SetText(sql);
            return q;
        };
        query("CREATE TABLE parts (id INTEGER, name CHAR(20), PRIMARY KEY (id))")->ExecSQL();

        auto insert = query("INSERT INTO parts (id, name) VALUES (:id, :name)");
        const char* names[] = {"bolt", "nut", "washer"};
        for (int i = 0; i < 3; ++i) {
            insert->ParamByName("id")->SetAsInteger(i + 1);
            insert->ParamByName("name")->SetAsString(names[i]);
            insert->ExecSQL();
        }

        auto select = query("SELECT id, name FROM parts WHERE id >= :first ORDER BY id");
        select->ParamByName("first")->SetAsInteger(2);
        select->Open();
        for (select->First(); !select->Eof(); select->Next())
            std::printf("%d %s\n", select->FieldByName("id")->AsInteger(),
                        select->FieldByName("name")->AsString().c_str());
        select->Close();
    } catch (const Exception& e) {
        std::fprintf(stderr, "parts: %s\n", e.Message().c_str());
        status = 1;
    }
    FinalizeSessions();  // closes the engine's session and its files
    return status;
}
