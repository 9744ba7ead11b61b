// KorrimAux.dll: a helper DLL of the simulated maker's own, which one build
// of Korrim.dll imports from beside itself, as a maker's library may depend
// on DLLs installed in its folder.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI KeySimAuxPresent(void)
{
    return 1;
}
