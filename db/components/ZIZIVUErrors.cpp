#include "db/components/ZIZIVUErrors.h"

void Check(uint16_t code) {
    if (code != 0) ZIZIVUError(code);
}
