#pragma once

#include <dlfcn.h>

namespace stampo {

// A shared library opened at run time rather than linked, so that it costs nothing until first used, and its
// functions looked up by name. Never closed: the libraries opened so (libcurl with OpenSSL, libsecret with GLib,
// libproxy) keep process-wide state until exit.
class SharedLibrary final {
public:
    explicit SharedLibrary(const char* soname)
        : m_handle(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}

    bool loaded() const { return m_handle != nullptr; }
    // Sets `function` to the library's `name`, or to null where the library or the name is missing; `complete`
    // stays true only while every look-up has found its name.
    template <typename Function> void resolve(const char* name, Function& function, bool& complete) const {
        function = m_handle ? reinterpret_cast<Function>(dlsym(m_handle, name)) : nullptr;
        complete = complete && function != nullptr;
    }

private:
    void* m_handle;
};

} // namespace stampo
