// A helper for the Wine tests: prints what Windows reads from an exe's
// version resource (the texts of its first translation, the fixed versions)
// and its manifest resources, and writes the manifest with id 1 (the one the
// loader reads) to a file.
//
//   version_info EXE MANIFEST_OUT
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

bool PrintVersion(const wchar_t* exe) {
  static unsigned char info[65536];
  const DWORD size = GetFileVersionInfoSizeW(exe, nullptr);
  WORD* translation = nullptr;  // language, code page
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (size == 0 || size > sizeof info || !GetFileVersionInfoW(exe, 0, size, info) ||
      !VerQueryValueW(info, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                      &len) ||
      !VerQueryValueW(info, L"\\", reinterpret_cast<void**>(&fixed), &len))
    return false;
  for (const wchar_t* name : {L"ProductName", L"FileDescription", L"FileVersion", L"ProductVersion",
                              L"OriginalFilename"}) {
    wchar_t path[96];
    std::swprintf(path, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1],
                  name);
    wchar_t* value = nullptr;
    const bool found = VerQueryValueW(info, path, reinterpret_cast<void**>(&value), &len);
    std::printf("%ls: %ls\n", name, found ? value : L"(none)");
  }
  std::printf("File version: %u.%u.%u.%u\nProduct version: %u.%u.%u.%u\n",
              HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
              HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
              HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
  return true;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

BOOL CALLBACK ListManifest(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR count) {
  if (IS_INTRESOURCE(name))
    std::printf("Manifest id: %u\n", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
  else
    std::printf("Manifest name: %ls\n", name);
  return EnumResourceLanguagesW(module, type, name, CountLanguage, count);
}

// Every manifest resource, counted by name and language.
bool PrintManifests(const wchar_t* exe, const char* out) {
  const HMODULE module =
      LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return false;
  int count = 0;
  EnumResourceNamesW(module, RT_MANIFEST, ListManifest, reinterpret_cast<LONG_PTR>(&count));
  std::printf("Manifest resources: %d\n", count);
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  const void* data = found ? LockResource(LoadResource(module, found)) : nullptr;
  std::FILE* file = data ? std::fopen(out, "wb") : nullptr;
  const bool written = file && std::fwrite(data, 1, SizeofResource(module, found), file) > 0 &&
                       std::fclose(file) == 0;
  FreeLibrary(module);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  wchar_t exe[MAX_PATH];
  if (argc != 3 || !MultiByteToWideChar(CP_ACP, 0, argv[1], -1, exe, MAX_PATH)) return 2;
  if (!PrintVersion(exe)) std::printf("No version resource: error %lu\n", GetLastError());
  if (!PrintManifests(exe, argv[2])) std::printf("No manifest id 1: error %lu\n", GetLastError());
  return 0;
}
