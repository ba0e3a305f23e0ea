// A DLL that the Win32 layer's test leaves out of the folder of the program
// that imports it (needsabsent.exe), so that the program cannot load.
extern "C" __declspec(dllexport) int absentValue()
{
    return 0;
}
