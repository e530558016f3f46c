// What a Visual C++ runtime gives a program and wine's import libraries do
// not: the entry point that runs C++ static initialisers, atexit, operator
// new and delete over malloc and free. Enough for a test host; no MSVC
// standard library is used.
#include <stdio.h>
#include <stdlib.h>

extern "C" {
typedef void(__cdecl* InitFunction)(void);
typedef int(__cdecl* CheckedInitFunction)(void);
int __cdecl _configure_narrow_argv(int mode);
int __cdecl _initterm_e(CheckedInitFunction* first, CheckedInitFunction* last);
void __cdecl _initterm(InitFunction* first, InitFunction* last);
int __cdecl _crt_atexit(InitFunction function);
int __cdecl _set_app_type(int type);
// Set by the compiler's floating-point code; the linker wants it defined.
int _fltused = 0;
}

// The C and C++ initialiser tables, bounded by the .CRT$XIA/XIZ and
// .CRT$XCA/XCZ sections that the linker sorts around them.
#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XIA")) CheckedInitFunction g_cInitFirst[] = {nullptr};
__declspec(allocate(".CRT$XIZ")) CheckedInitFunction g_cInitLast[] = {nullptr};
__declspec(allocate(".CRT$XCA")) InitFunction g_cxxInitFirst[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) InitFunction g_cxxInitLast[] = {nullptr};

extern "C" int __cdecl atexit(InitFunction function) { return _crt_atexit(function); }

int main(int argc, char** argv);

extern "C" int mainCRTStartup() {
    _set_app_type(1);   // console
    _configure_narrow_argv(2);
    if (_initterm_e(g_cInitFirst, g_cInitLast) != 0) return 255;
    _initterm(g_cxxInitFirst, g_cxxInitLast);
    exit(main(*__p___argc(), *__p___argv()));
}

void* operator new(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) abort();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

// The list head that type_info::name() caches its strings in.
extern "C" struct {
    void* next;
} __type_info_root_node = {nullptr};
