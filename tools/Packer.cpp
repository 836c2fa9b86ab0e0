// Packing: reads the product from the package and writes the launcher with the package, its code and a version block.
#include "Packer.h"

#include "ErrorHandling.h"
#include "Executor.h"
#include "FileUtils.h"
#include "ImageWriter.h"
#include "Log.h"
#include "MsiDatabase.h"
#include "VersionBlock.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace pack {

namespace {

// The launcher looks these up as "msi" and "product_code"; resource names match without regard to case, and
// the resource compiler's own convention is upper case.
constexpr wchar_t kPackageResource[] = L"MSI";
constexpr wchar_t kProductCodeResource[] = L"PRODUCT_CODE";
const LPCWSTR kVersionResource = MAKEINTRESOURCEW(VS_VERSION_INFO);
constexpr WORD kNeutralLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
// For a launcher without a version block of its own.
constexpr WORD kDefaultVersionLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
// Windows Installer does not open a package of 2 GiB or more.
constexpr uint64_t kMaxPackageSize = 0x7FFFFFFF;
constexpr DWORD kMaxReadChunk = 1u << 30;

struct Product {
    tstring name;
    tstring version;
    tstring manufacturer;
    Guid code;
};

OwnedHandle openFile(const tstring& path, DWORD access, DWORD sharing, DWORD disposition, const char* purpose) {
    const HANDLE handle =
        CreateFileW(path.c_str(), access, sharing, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "Cannot open '" << path << "' " << purpose, CreateFileW, code,
                          "System error"));
    }
    return OwnedHandle(handle);
}

struct ViewUnmapper {
    void operator()(void* view) const {
        const LastErrorPreserver preserver;
        UnmapViewOfFile(view);
    }
};

// A whole file mapped into memory for reading; its pages are read from the file as they are touched, never copied.
class MappedFile {
public:
    explicit MappedFile(const tstring& path) {
        // While the view is in use others may only read the file.
        file_ = openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, "for reading");
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file_.get(), &size)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "Cannot read the size of '" << path << "'", GetFileSizeEx, code,
                              "System error"));
        }
        size_ = static_cast<uint64_t>(size.QuadPart);
        if (size_ == 0) {
            KR_RAISE(MessageBuilder() << "'" << path << "' is empty");
        }
        mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping_.get()) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "Cannot map '" << path << "'", CreateFileMappingW, code,
                              "System error"));
        }
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view_) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "Cannot map a view of '" << path << "'", MapViewOfFile, code,
                              "System error"));
        }
    }

    const void* data() const { return view_.get(); }
    uint64_t size() const { return size_; }

private:
    OwnedHandle file_;
    OwnedHandle mapping_;
    std::unique_ptr<void, ViewUnmapper> view_;
    uint64_t size_ = 0;
};

struct LibraryFreer {
    void operator()(HMODULE module) const {
        const LastErrorPreserver preserver;
        FreeLibrary(module);
    }
};
using DataFileModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer>;

// What the packer needs to know of the launcher's own resources.
struct LauncherResources {
    std::vector<WORD> versionLanguages;
    bool carriesPackage = false;
};

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context) {
    reinterpret_cast<std::vector<WORD>*>(context)->push_back(language);
    return TRUE;
}

LauncherResources inspectLauncher(const tstring& path) {
    const DataFileModule module(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "The launcher '" << path << "' is not a Windows executable",
                          LoadLibraryExW, code, "System error"));
    }
    LauncherResources resources;
    if (!EnumResourceLanguagesW(module.get(), RT_VERSION, kVersionResource, collectLanguage,
                                reinterpret_cast<LONG_PTR>(&resources.versionLanguages))) {
        const DWORD code = GetLastError();
        if (code != ERROR_RESOURCE_DATA_NOT_FOUND && code != ERROR_RESOURCE_TYPE_NOT_FOUND &&
            code != ERROR_RESOURCE_NAME_NOT_FOUND) {
            KR_RAISE(SysError(MessageBuilder() << "Cannot read the version block of the launcher '" << path << "'",
                              EnumResourceLanguagesW, code, "System error"));
        }
    }
    resources.carriesPackage = FindResourceW(module.get(), kPackageResource, RT_RCDATA) ||
                               FindResourceW(module.get(), kProductCodeResource, RT_RCDATA);
    return resources;
}

Guid parseProductCode(const tstring& text, const tstring& packagePath) {
    try {
        return Guid(text);
    } catch (const std::runtime_error&) {
        KR_RAISE(MessageBuilder() << "The package '" << packagePath << "' has the ProductCode '" << text
                                  << "', which is not a GUID");
    }
}

Product readProduct(const tstring& packagePath) {
    const msi::Database database(packagePath);
    const std::map<tstring, tstring> properties = database.properties();
    const auto valueOf = [&properties](const tstring& name) {
        const auto found = properties.find(name);
        return found == properties.end() ? tstring() : found->second;
    };
    if (properties.find(L"ProductCode") == properties.end()) {
        KR_RAISE(MessageBuilder() << "The package '" << packagePath
                                  << "' has no ProductCode property, so it does not install a product");
    }
    return Product{valueOf(L"ProductName"), valueOf(L"ProductVersion"), valueOf(L"Manufacturer"),
                   parseProductCode(valueOf(L"ProductCode"), packagePath)};
}

std::vector<char> describeProduct(const Product& product, const tstring& outputPath, WORD language) {
    const tstring fileName = FileUtils::basename(outputPath);
    VersionInfo info;
    info.version = parseFixedVersion(product.version);
    info.language = language;
    const std::vector<std::pair<tstring, tstring>> strings = {
        {L"CompanyName", product.manufacturer},
        {L"FileDescription", product.name.empty() ? tstring(L"Setup") : product.name + L" Setup"},
        {L"FileVersion", product.version},
        {L"InternalName", fileName.substr(0, fileName.rfind(L'.'))},
        {L"OriginalFilename", fileName},
        {L"ProductName", product.name},
        {L"ProductVersion", product.version},
    };
    // A property the package lacks leaves no empty text behind.
    std::copy_if(strings.begin(), strings.end(), std::back_inserter(info.strings),
                 [](const auto& entry) { return !entry.second.empty(); });
    return buildVersionResource(info);
}

std::vector<char> readWholeFile(const tstring& path) {
    const OwnedHandle file = openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, "for reading");
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "Cannot read the size of '" << path << "'", GetFileSizeEx, code,
                          "System error"));
    }
    std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
    for (size_t done = 0; done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kMaxReadChunk));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr)) {
            const DWORD code = GetLastError();
            KR_RAISE(SysError(MessageBuilder() << "Cannot read '" << path << "'", ReadFile, code, "System error"));
        }
        if (read == 0) {
            KR_RAISE(MessageBuilder() << "'" << path << "' ended before its size of " << bytes.size() << " bytes");
        }
        done += read;
    }
    return bytes;
}

void requireFile(const tstring& path, const wchar_t* role) {
    if (!FileUtils::isFileExists(path)) {
        KR_RAISE(MessageBuilder() << "The " << role << " '" << path << "' does not exist");
    }
    if (FileUtils::isDirectory(path)) {
        KR_RAISE(MessageBuilder() << "The " << role << " '" << path << "' is a directory");
    }
}

} // namespace

PackSummary pack(const PackRequest& request) {
    const tstring launcherPath = FileUtils::toAbsolutePath(request.launcherPath);
    const tstring packagePath = FileUtils::toAbsolutePath(request.packagePath);
    const tstring outputPath = FileUtils::toAbsolutePath(request.outputPath);
    const tstring outputDir = FileUtils::dirname(outputPath);

    requireFile(packagePath, L"package");
    requireFile(launcherPath, L"launcher");
    for (const tstring& input : {packagePath, launcherPath}) {
        if (tstrings::equalText(outputPath, input, tstrings::CaseMode::IgnoreCase)) {
            KR_RAISE(MessageBuilder() << "The output '" << outputPath << "' would replace an input of the packer");
        }
    }
    if (!FileUtils::isDirectory(outputDir)) {
        KR_RAISE(MessageBuilder() << "The output directory '" << outputDir << "' does not exist");
    }
    if (FileUtils::isDirectory(outputPath)) {
        KR_RAISE(MessageBuilder() << "The output '" << outputPath << "' is a directory");
    }

    const Product product = readProduct(packagePath);
    const LauncherResources launcher = inspectLauncher(launcherPath);
    if (launcher.carriesPackage) {
        KR_RAISE(MessageBuilder() << "The launcher '" << launcherPath
                                  << "' already carries a package; pack from the bare kestrel-launcher.exe");
    }
    const MappedFile package(packagePath);
    if (package.size() > kMaxPackageSize) {
        KR_RAISE(MessageBuilder() << "The package '" << packagePath << "' is " << package.size()
                                  << " bytes; Windows Installer packages are limited to 2 GiB");
    }

    const tstring tempPath = FileUtils::createTempFile(L"kvs", L".tmp", outputDir);
    FileUtils::Deleter cleanup;
    cleanup.appendFile(tempPath);

    const WORD versionLanguage =
        launcher.versionLanguages.empty() ? kDefaultVersionLanguage : launcher.versionLanguages.front();
    const std::vector<char> versionBlock = describeProduct(product, outputPath, versionLanguage);
    const std::string productCodeText = tstrings::encodeUtf8(product.code.toString());

    ResourceImage image(readWholeFile(launcherPath), launcherPath);
    image.put(RT_RCDATA, kPackageResource, kNeutralLanguage, package.data(), static_cast<uint32_t>(package.size()));
    KR_TRACE("Added the package of " << package.size() << " bytes, language " << kNeutralLanguage);
    image.put(RT_RCDATA, kProductCodeResource, kNeutralLanguage, productCodeText.data(),
              static_cast<uint32_t>(productCodeText.size()));
    KR_TRACE("Added the product code of " << productCodeText.size() << " bytes, language " << kNeutralLanguage);
    for (const WORD language : launcher.versionLanguages) {
        if (language != versionLanguage) {
            image.remove(RT_VERSION, kVersionResource, language);
            KR_TRACE("Removed the launcher's version block, language " << language);
        }
    }
    image.put(RT_VERSION, kVersionResource, versionLanguage, versionBlock.data(),
              static_cast<uint32_t>(versionBlock.size()));
    KR_TRACE("Added the version block of " << versionBlock.size() << " bytes, language " << versionLanguage);
    {
        const OwnedHandle output = openFile(tempPath, GENERIC_WRITE, 0, TRUNCATE_EXISTING, "for writing");
        image.write(output.get(), tempPath);
    }

    FileUtils::moveFile(tempPath, outputPath);
    cleanup.cancel();

    return PackSummary{product.name, product.version, product.manufacturer, product.code, package.size(),
                       outputPath};
}

} // namespace pack
