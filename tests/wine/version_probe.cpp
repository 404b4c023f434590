// Reads an executable's version resource and manifest back as Windows reads them, for the
// test to compare with the build's values. Usage: version_probe EXE
// Prints KEY=VALUE lines: file_version and product_version (A.B.C.D), translation (LLLLCCCC),
// NAME=VALUE for each standard string the resource has, manifests (RT_MANIFEST resources
// counted by name and language: a toolchain's default manifest beside ours would make two) and
// a manifest_resource=ID LANGUAGE for each; then "manifest:" and the text of RT_MANIFEST 1.
// Exits 1 when a read failed, after saying which on stderr.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kStringNames[] = {"CompanyName",  "FileDescription", "FileVersion",
                                        "InternalName", "LegalCopyright",  "OriginalFilename",
                                        "ProductName",  "ProductVersion"};

int Failed(const char* what) {
  std::fprintf(stderr, "version_probe: %s failed: %lu\n", what, GetLastError());
  return 1;
}

void PrintVersion(const char* label, DWORD high, DWORD low) {
  std::printf("%s=%u.%u.%u.%u\n", label, HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
}

int PrintVersionResource(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) {
    return Failed("GetFileVersionInfoSize");
  }
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path, 0, size, data.data())) {
    return Failed("GetFileVersionInfo");
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return Failed("VerQueryValue of the fixed file information");
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) {
    std::fprintf(stderr, "version_probe: fixed file information signature %lx\n",
                 fixed->dwSignature);
    return 1;
  }
  PrintVersion("file_version", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  PrintVersion("product_version", fixed->dwProductVersionMS, fixed->dwProductVersionLS);

  if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) ||
      length < 2 * sizeof(WORD)) {
    return Failed("VerQueryValue of the translation");
  }
  const auto* translation = static_cast<const WORD*>(value);
  char block[32];
  std::snprintf(block, sizeof block, "%04x%04x", translation[0], translation[1]);
  std::printf("translation=%s\n", block);
  for (const char* name : kStringNames) {
    const std::string query = std::string("\\StringFileInfo\\") + block + "\\" + name;
    if (VerQueryValueA(data.data(), query.c_str(), &value, &length) && length > 0) {
      std::printf("%s=%s\n", name, static_cast<const char*>(value));
    }
  }
  return 0;
}

std::string ResourceId(LPCSTR name) {
  return IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<ULONG_PTR>(name)) : name;
}

BOOL CALLBACK OnLanguage(HMODULE, LPCSTR, LPCSTR name, WORD language, LONG_PTR found) {
  reinterpret_cast<std::vector<std::string>*>(found)->push_back(ResourceId(name) + " " +
                                                                std::to_string(language));
  return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR found) {
  EnumResourceLanguagesA(module, type, name, &OnLanguage, found);
  return TRUE;
}

int PrintManifest(const char* path) {
  HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    return Failed("LoadLibraryEx");
  }
  std::vector<std::string> found;
  EnumResourceNamesA(module, RT_MANIFEST, &OnName, reinterpret_cast<LONG_PTR>(&found));
  std::printf("manifests=%zu\n", found.size());
  for (const std::string& resource : found) {
    std::printf("manifest_resource=%s\n", resource.c_str());
  }
  int status = 0;
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), RT_MANIFEST);
  HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
  const void* text = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (text == nullptr) {
    status = Failed("FindResource and LoadResource of RT_MANIFEST 1");
  } else {
    std::printf("manifest:\n");
    std::fwrite(text, 1, SizeofResource(module, resource), stdout);
  }
  FreeLibrary(module);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: version_probe EXE\n");
    return 2;
  }
  const int version = PrintVersionResource(argv[1]);
  const int manifest = PrintManifest(argv[1]);
  return version != 0 || manifest != 0 ? 1 : 0;
}
