/* The peer of the demo CGI program in the cold-start benchmark: a standard CGI program
 * in plain C that decodes the query string by hand and answers the same plain-text
 * listing (method, query, one line per field). */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = tolower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* Decodes %XX and '+' of s[0..n) into out (at least n + 1 bytes). */
static void Decode(const char* s, size_t n, char* out) {
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '+') {
            out[o++] = ' ';
        } else if (s[i] == '%' && i + 2 < n && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out[o++] = (char)(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out[o++] = s[i];
        }
    }
    out[o] = 0;
}

static const char* Env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

int main(void) {
    const char* query = Env("QUERY_STRING");
    printf("Content-Type: text/plain\r\n\r\n");
    printf("method=%s\r\nquery=%s\r\n", Env("REQUEST_METHOD"), query);
    size_t len = strlen(query);
    char* buf = malloc(len + 1);
    if (!buf) return 1;
    const char* p = query;
    while (*p) {
        const char* end = strchr(p, '&');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        const char* eq = memchr(p, '=', n);
        size_t nameLen = eq ? (size_t)(eq - p) : n;
        if (nameLen > 0) {
            Decode(p, nameLen, buf);
            printf("field:%s=", buf);
            if (eq) {
                Decode(eq + 1, n - nameLen - 1, buf);
                fputs(buf, stdout);
            }
            printf("\r\n");
        }
        p += n;
        if (*p == '&') ++p;
    }
    free(buf);
    return 0;
}
