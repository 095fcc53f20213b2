// The manifest and version information of both shipped executables, read
// back through the Win32 API the way Windows and its Properties dialog read
// them. The dump of each goes to the artifacts directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

struct Executable {
    const char* label;
    const char* path;
    const char* file_name;
};

const Executable EXECUTABLES[] = {
    {"Zeptrix.exe", ZPX_PROGRAM_PATH, "Zeptrix.exe"},
    {"zeptrix-cli.exe", ZPX_CONSOLE_PEER_PATH, "zeptrix-cli.exe"},
};

std::string manifest_of(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return {};
    std::string text;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    if (loaded) text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    FreeLibrary(module);
    return text;
}

std::string version_string(const std::string& block, const char* key) {
    void* value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\040904b0\\") + key;
    if (!VerQueryValueA(block.data(), query.c_str(), &value, &length) || length == 0) return {};
    return std::string(static_cast<const char*>(value));
}

}  // namespace

TEST(Resources, ManifestAndVersionOfBothExecutables) {
    std::ofstream dump(std::string(ZPX_ARTIFACTS_DIR) + "\\resources.txt");
    for (const Executable& exe : EXECUTABLES) {
        SCOPED_TRACE(exe.label);
        std::string manifest = manifest_of(exe.path);
        ASSERT_FALSE(manifest.empty()) << "no manifest in " << exe.path << ", error " << GetLastError();
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        for (const char* os : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            EXPECT_NE(manifest.find(os), std::string::npos) << "supportedOS " << os;
        EXPECT_EQ(manifest.find("dpiAware"), std::string::npos) << "no DPI awareness is declared";
        EXPECT_EQ(manifest.find("dpiAwareness"), std::string::npos);

        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(exe.path, &ignored);
        ASSERT_NE(size, 0u) << "no version information, error " << GetLastError();
        std::string block(size, '\0');
        ASSERT_TRUE(GetFileVersionInfoA(exe.path, 0, size, block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixed_length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_length));
        EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u) << "1.0";
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(version_string(block, "ProductName"), "Zeptrix");
        EXPECT_EQ(version_string(block, "ProductVersion"), "1.0");
        EXPECT_EQ(version_string(block, "FileVersion"), "1.0");
        EXPECT_EQ(version_string(block, "OriginalFilename"), exe.file_name);
        EXPECT_FALSE(version_string(block, "FileDescription").empty());

        dump << "== " << exe.label << "\n";
        for (const char* key : {"ProductName", "ProductVersion", "FileVersion", "FileDescription", "OriginalFilename",
                                "InternalName", "CompanyName"})
            dump << key << ": " << version_string(block, key) << "\n";
        dump << "manifest (" << manifest.size() << " bytes):\n" << manifest << "\n";
    }
}
