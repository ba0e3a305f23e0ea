// A program that imports a function of absent.dll: started without that DLL
// beside it, the loader ends it with STATUS_DLL_NOT_FOUND.
extern "C" __declspec(dllimport) int absentValue();

int main()
{
    return absentValue();
}
