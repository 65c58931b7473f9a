// table_check FOLDER TABLE: checks the table's files and its lock ranges; exit status 0 when
// nothing was found, 1 when something was, 2 on wrong use.
#include <cstdio>

#include "db/storage/Library.h"
#include "tools/table_check/TableCheck.h"
#include "tools/tool_options/ToolOptions.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    TToolOptions options("table_check", "FOLDER TABLE");
    options.Arguments(args, 2, 2);
    if (!options.Parse(argc, argv)) return 2;
    const std::string& folder = args[0];
    const std::string& table = args[1];
    InitializeLibrary();
    const TTableCheckReport report = CheckTableFiles(folder, table);
    std::printf(
        "%u records (%u active, %u deleted), %u index keys on %u pages (%u free), "
        "%u BLOB chains on %u blocks (%u free)\n",
        report.PhysicalRecords, report.ActiveRecords, report.DeletedRecords, report.IndexKeys,
        report.IndexPages, report.FreeIndexPages, report.BlobChains, report.BlobBlocksUsed,
        report.BlobBlocksFree);
    std::fputs(report.Text().c_str(), stdout);
    bool ok = report.Ok();
    for (const std::string& lock : HeldTableLocks(folder, table)) {
        std::printf("lock still held: %s\n", lock.c_str());
        ok = false;
    }
    FinalizeLibrary();
    return ok ? 0 : 1;
}
