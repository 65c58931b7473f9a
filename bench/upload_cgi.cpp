// The web engine's side of the upload benchmark: a standard CGI program that lets the
// engine parse a multipart body and store its files, then answers each field with its
// value and each stored file with its size (the demo program would echo the file).
// The upload folder is $CGI_UPLOAD_TEMP.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/CGISEng.h"
#include "web/HCgiDbg.h"
#include "web/HUtils.h"

int main(int argc, char** argv) {
    SetCommandLineArguments(argc, argv);
    SetProcessKind(pkConsoleProgram);
    try {
        TCGIStdUnit unit;
        TCGIStdEngine* e = CGIStdEngine();
        if (!e) return 1;
        e->AllowedMethods()->SetPut(true);  // multipart bodies need it
        if (const char* t = std::getenv("CGI_UPLOAD_TEMP"); t && *t) e->SetTempDir(t);
        e->OnExecRequest = [e](TObject*) {
            e->SetHeader("Content-Type", "text/plain");
            std::unique_ptr<TStringList> names = e->GetFieldNames();
            for (int i = 0; i < names->Count(); ++i) {
                const std::string name = names->Get(i);
                const std::string value = e->GetField(name);
                e->WriteLn("field:" + name + "=" + value);
                struct stat st {};
                if (name.size() > 9 && name.compare(name.size() - 9, 9, "_FILENAME") == 0 &&
                    stat(value.c_str(), &st) == 0)
                    e->WriteLn("size:" + name.substr(0, name.size() - 9) + "=" + std::to_string(st.st_size));
            }
        };
        e->Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upload_cgi: %s\n", e.what());
        return 1;
    }
    return 0;
}
