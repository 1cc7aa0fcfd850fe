// A helper for the Wine tests: prints what Windows reads from an exe's
// version resource (the texts of its first translation, the fixed versions)
// and its manifest resources, and writes the manifest to a file.
//
//   version_info EXE MANIFEST_OUT
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

void PrintUtf8(const char* label, const wchar_t* text) {
  char out[512] = "?";
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  std::printf("%s: %s\n", label, out);
}

void PrintFixed(const char* label, DWORD ms, DWORD ls) {
  std::printf("%s: %u.%u.%u.%u\n", label, HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
}

bool PrintVersion(const wchar_t* exe) {
  static unsigned char info[65536];
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe, &ignored);
  if (size == 0 || size > sizeof info || !GetFileVersionInfoW(exe, 0, size, info)) return false;
  WORD* translation = nullptr;  // language, code page
  UINT len = 0;
  if (!VerQueryValueW(info, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                      &len) ||
      len < 2 * sizeof(WORD))
    return false;
  for (const wchar_t* name : {L"ProductName", L"FileDescription", L"FileVersion", L"ProductVersion",
                              L"OriginalFilename"}) {
    wchar_t path[96];
    std::swprintf(path, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1],
                  name);
    wchar_t* value = nullptr;
    char label[32];
    WideCharToMultiByte(CP_UTF8, 0, name, -1, label, sizeof label, nullptr, nullptr);
    PrintUtf8(label, VerQueryValueW(info, path, reinterpret_cast<void**>(&value), &len) && value
                         ? value
                         : L"(none)");
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  if (!VerQueryValueW(info, L"\\", reinterpret_cast<void**>(&fixed), &len)) return false;
  PrintFixed("File version", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  PrintFixed("Product version", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
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
    PrintUtf8("Manifest name", name);
  EnumResourceLanguagesW(module, type, name, CountLanguage, count);
  return TRUE;
}

// Every manifest resource, counted by name and language; the one with id 1
// (what the loader reads for an exe) written to out.
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: version_info EXE MANIFEST_OUT\n");
    return 2;
  }
  wchar_t relative[MAX_PATH];
  wchar_t exe[MAX_PATH];
  if (!MultiByteToWideChar(CP_ACP, 0, argv[1], -1, relative, MAX_PATH) ||
      !GetFullPathNameW(relative, MAX_PATH, exe, nullptr))
    return 2;
  if (!PrintVersion(exe)) std::printf("No version resource: error %lu\n", GetLastError());
  if (!PrintManifests(exe, argv[2])) std::printf("No manifest id 1: error %lu\n", GetLastError());
  return 0;
}
