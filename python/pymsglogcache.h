#pragma once
// The process-wide message-log cache as Python sees it: built, it reads the
// packets of the shared cache it has not read yet; it answers the number of
// lines and a line by index. Refused before a successful start-up.
#include "python/pymsglogline.h"

namespace cvekutil {

class PyMsgLogCache
{
public:
    PyMsgLogCache();

    int size() const;
    // Throws std::out_of_range for an index not below size().
    PyMsgLogLine get(unsigned int index) const;

    GseLib::MsgLogCache* cache = nullptr;
};

} // namespace cvekutil
