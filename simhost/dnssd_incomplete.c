/* A dnssd.dll that lacks three of Bonjour's four calls, for the test of a broken Bonjour install. Loading
   it creates the file named by CVHT_DNSSD_MARKER, so the test knows the plug-in found it; calling its one
   function crashes, since a plug-in must not use a library it could not fully resolve. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance, (void)reserved;
  const char *marker = getenv("CVHT_DNSSD_MARKER");
  if (reason == DLL_PROCESS_ATTACH && marker) {
    FILE *f = fopen(marker, "w");
    if (f) fclose(f);
  }
  return TRUE;
}

__declspec(dllexport) int32_t __stdcall DNSServiceRegister(void) {
  abort();
}
