// SPDX-License-Identifier: GPL-3.0-or-later
// One owner for a system handle (a file descriptor, a DIR*): released exactly
// once, on every path out of the function that opened it, early returns and
// throws included.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <utility>

template <typename Handle, auto Release, Handle Null> class UniqueHandle
{
public:
    explicit UniqueHandle(Handle h = Null) : m_handle(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }

    Handle get() const { return m_handle; }
    /// Releases the handle now (before the end of the scope), and holds h instead.
    void reset(Handle h = Null)
    {
        if (m_handle != Null)
            Release(m_handle);
        m_handle = h;
    }
    /// Hands the handle over to the caller, who closes it.
    Handle release() { return std::exchange(m_handle, Null); }

private:
    Handle m_handle;
};

using UniqueFd = UniqueHandle<int, ::close, -1>;
using UniqueDir = UniqueHandle<DIR*, ::closedir, nullptr>;
