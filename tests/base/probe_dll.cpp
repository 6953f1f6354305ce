// Stands for a DLL planted beside a program: the DLL search test loads it only by its full path.
extern "C" __declspec(dllexport) int PlProbe() { return 7; }
