// Whether the test runs as a Windows program under wine, whose socket layer
// cannot produce a few conditions that Windows and Linux do.
#ifndef VEMNET_TEST_WINE_H
#define VEMNET_TEST_WINE_H

#include "platform/platform.h"

namespace testing_support {

inline bool RunningUnderWine() {
    static const bool wine = [] {
        void* ntdll = plat::LoadModule(L"ntdll.dll");
        return ntdll && plat::ModuleSymbol(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

}  // namespace testing_support

#endif
