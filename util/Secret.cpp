#include "util/Secret.h"

#include <cstddef>

namespace {

// Through a volatile pointer, so the compiler keeps stores that nothing reads before the free.
void zero(void* data, std::size_t size) {
    auto* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = 0;
}

} // namespace

void wipe(QString& text) {
    if (!text.isEmpty() && text.isDetached())
        zero(const_cast<QChar*>(text.constData()), static_cast<std::size_t>(text.size()) * sizeof(QChar));
    text.clear();
}

void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty() && bytes.isDetached())
        zero(const_cast<char*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
    bytes.clear();
}
