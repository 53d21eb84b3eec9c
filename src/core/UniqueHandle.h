// One owner for a system handle (a file descriptor, a DIR*): released exactly
// once, on every path out of the function that opened it, early returns and
// throws included.
#pragma once

#include <dirent.h>
#include <unistd.h>

template <typename Handle, auto Release, Handle Null> class UniqueHandle
{
public:
    explicit UniqueHandle(Handle h = Null) : m_handle(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return m_handle; }
    /// Releases the handle now (before the end of the scope), and holds h instead.
    void reset(Handle h = Null)
    {
        if (m_handle != Null)
            Release(m_handle);
        m_handle = h;
    }

private:
    Handle m_handle;
};

using UniqueFd = UniqueHandle<int, ::close, -1>;
using UniqueDir = UniqueHandle<DIR*, ::closedir, nullptr>;
