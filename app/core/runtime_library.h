// A library the program loads at its first use instead of at start, with a
// table of the functions it calls there. Loaded once and kept for the life
// of the process (GLib and Xlib keep process-wide state that must not go).
//
//     #define MY_FUNCTIONS(X) X(lib_open) X(lib_close)
//     struct MyApi { ZELMAR_RUNTIME_API_MEMBERS(MY_FUNCTIONS) };
//     const MyApi* api = LoadRuntimeApi<MyApi>("libmy.so.1", "libmy",
//         [](void* handle, MyApi& a) { ZELMAR_RUNTIME_API_RESOLVE(MY_FUNCTIONS, handle, a) }, why);
#pragma once

#include <dlfcn.h>

#include <string>

#include "app/core/messages.h"

// One member per function, typed from the library's own header.
#define ZELMAR_RUNTIME_API_MEMBER(name) decltype(&::name) name = nullptr;
#define ZELMAR_RUNTIME_API_MEMBERS(FUNCTIONS) FUNCTIONS(ZELMAR_RUNTIME_API_MEMBER)

// The body of a fill function: each member looked up; the first name the
// library lacks is returned, nullptr when all were found.
#define ZELMAR_RUNTIME_API_FIND(name)                                                     \
    if (!(api_.name = reinterpret_cast<decltype(api_.name)>(::dlsym(handle_, #name)))) \
        return #name;
#define ZELMAR_RUNTIME_API_RESOLVE(FUNCTIONS, handle, api) \
    void* handle_ = (handle);                              \
    auto& api_ = (api);                                    \
    FUNCTIONS(ZELMAR_RUNTIME_API_FIND)                     \
    return static_cast<const char*>(nullptr);

namespace zelmar {

// Loads library on the first call and fills an Api with fill(handle, api),
// which returns the name of a function it could not find (or nullptr). Null,
// with why saying so in a few words, when the library is not there or lacks
// a function; every later call answers the same. Thread-safe.
template <class Api, class Fill>
const Api* LoadRuntimeApi(const char* library, const char* label, Fill fill, std::string& why) {
    static std::string problem;
    static const Api* const api = [&]() -> const Api* {
        void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = ::dlerror();
            problem = Text<Msg::LibraryMissing>(label, error ? error : library);
            return nullptr;
        }
        static Api loaded;
        if (const char* missing = fill(handle, loaded)) {
            problem = Text<Msg::LibraryIncomplete>(label, missing);
            return nullptr;
        }
        return &loaded;
    }();
    if (!api) why = problem;
    return api;
}

}  // namespace zelmar
