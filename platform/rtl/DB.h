#pragma once
// Database error base class of the runtime: every database failure derives from it.
#include "platform/rtl/SysUtils.h"

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};
