// Lookup of module resources and their extraction to memory or to a file.
#include "Resources.h"

#include "Crc32c.h"
#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <algorithm>

namespace {

// Small enough to be still in the processor's caches when it is written after its CRC was taken.
constexpr size_t kCheckedPieceBytes = 256 * 1024;

// "#" and the decimal identifier for an integer identifier, the text itself for a string.
tstring printableForm(LPCWSTR id) {
    if (IS_INTRESOURCE(id)) {
        return (MessageBuilder() << "#" << reinterpret_cast<ULONG_PTR>(id)).str();
    }
    return id;
}

} // namespace

Resource::Resource(LPCWSTR name, LPCWSTR type, HMODULE resourceModule)
    : nameStr(printableForm(name)),
      nameId(IS_INTRESOURCE(name) ? name : nameStr.c_str()),
      typeStr(printableForm(type)),
      typeId(IS_INTRESOURCE(type) ? type : typeStr.c_str()),
      module(resourceModule) {}

MessageBuilder Resource::describe(const char* failure) const {
    return MessageBuilder() << failure << " (name='" << nameStr << "', type='" << typeStr << "')";
}

const void* Resource::getPtr(DWORD& size) const {
    const HRSRC found = FindResourceW(module, nameId, typeId);
    if (!found) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(describe("cannot find resource"), FindResourceW, code, "System error"));
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (!loaded) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(describe("cannot load resource"), LoadResource, code, "System error"));
    }
    const void* bytes = LockResource(loaded);
    if (!bytes) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(describe("cannot lock resource"), LockResource, code, "System error"));
    }
    size = SizeofResource(module, found);
    return bytes;
}

std::vector<uint8_t> Resource::readBytes() const {
    DWORD size = 0;
    const auto* bytes = static_cast<const uint8_t*>(getPtr(size));
    return std::vector<uint8_t>(bytes, bytes + size);
}

void Resource::writeToFile(const tstring& path) const {
    DWORD size = 0;
    const void* bytes = getPtr(size);
    FileUtils::FileWriter(path).write(bytes, size).finish();
}

void Resource::writeToFile(const tstring& path, const std::function<void(const Crc32c&)>& verify) const {
    DWORD size = 0;
    const auto* bytes = static_cast<const uint8_t*>(getPtr(size));
    FileUtils::FileWriter writer(path);
    Crc32c crc;
    for (size_t offset = 0; offset < size; offset += kCheckedPieceBytes) {
        const size_t piece = std::min<size_t>(kCheckedPieceBytes, size - offset);
        crc.update(bytes + offset, piece);
        writer.write(bytes + offset, piece);
    }
    verify(crc);
    writer.finish();
}

bool Resource::exists() const {
    if (FindResourceW(module, nameId, typeId)) {
        return true;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_RESOURCE_NAME_NOT_FOUND || code == ERROR_RESOURCE_TYPE_NOT_FOUND) {
        return false;
    }
    KR_RAISE(SysError(describe("cannot find resource"), FindResourceW, code, "System error"));
}
