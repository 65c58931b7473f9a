// table_check FOLDER TABLE: checks the table's files and its lock ranges; exit status 0 when
// nothing was found, 1 when something was, 2 on wrong use.
#include <cstdio>

#include "db/storage/Library.h"
#include "tools/table_check/TableCheck.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: table_check FOLDER TABLE\n");
        return 2;
    }
    InitializeLibrary();
    const TTableCheckReport report = CheckTableFiles(argv[1], argv[2]);
    std::printf(
        "%u records (%u active, %u deleted), %u index keys on %u pages (%u free), "
        "%u BLOB chains on %u blocks (%u free)\n",
        report.PhysicalRecords, report.ActiveRecords, report.DeletedRecords, report.IndexKeys,
        report.IndexPages, report.FreeIndexPages, report.BlobChains, report.BlobBlocksUsed,
        report.BlobBlocksFree);
    std::fputs(report.Text().c_str(), stdout);
    bool ok = report.Ok();
    for (const std::string& lock : HeldTableLocks(argv[1], argv[2])) {
        std::printf("lock still held: %s\n", lock.c_str());
        ok = false;
    }
    FinalizeLibrary();
    return ok ? 0 : 1;
}
