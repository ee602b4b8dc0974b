#pragma once

#include "TaskSupport.h"

#include "chrome/ChromeNativeHostBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>

namespace tarni {

// Readable failure messages for the records compared most often.
inline void PrintTo(const ChromeWindowBounds &b, std::ostream *out)
{
    *out << "{left " << b.left << ", top " << b.top << ", width " << b.width << ", height " << b.height << "}";
}

inline void PrintTo(const ChromeTabState &t, std::ostream *out)
{
    *out << "{id " << t.id << ", window " << t.windowID << ", \"" << t.title.toStdString() << "\" " << t.url.toStdString()
         << (t.isActive ? ", active}" : "}");
}

} // namespace tarni
