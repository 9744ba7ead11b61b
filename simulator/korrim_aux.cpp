// KorrimAux.dll and KorrimLink.dll: helper DLLs of the simulated maker's
// own, which one build of Korrim.dll imports (KorrimAux) or loads by bare
// name at run time (KorrimLink) from beside itself, as a maker's library may
// depend on DLLs installed in its folder.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI KeySimAuxPresent(void)
{
    return 1;
}
