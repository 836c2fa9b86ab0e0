// Setup image writing: parses a launcher's headers and resource tree, lays out a new resource section and
// writes the image sequentially, computing its checksum on the way.
#include "ImageWriter.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "WinErrorHandling.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>

namespace pack {

namespace {

// The package is written straight from its mapped view, a piece at a time; a piece of 1 MiB is still in the
// processor's cache when it is written after being summed, which a larger one is not.
constexpr uint32_t kWriteChunk = 1u << 20;
constexpr uint32_t kDatumAlignment = 8;

template <class T>
T readAt(const std::vector<char>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

template <class T>
void writeAt(std::vector<char>& bytes, size_t offset, const T& value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

uint64_t alignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

int compareText(const tstring& left, const tstring& right) {
    const size_t common = std::min(left.size(), right.size());
    for (size_t i = 0; i < common; ++i) {
        const wint_t a = std::towupper(static_cast<wint_t>(left[i]));
        const wint_t b = std::towupper(static_cast<wint_t>(right[i]));
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

// Writes a file front to back and keeps the image checksum of what it wrote: the one's complement sum of the
// file's little-endian 16-bit words. The header's checksum field must be written as 0.
class ChecksumWriter {
public:
    ChecksumWriter(HANDLE file, const tstring& path) : file_(file), path_(path) {}

    void write(const void* data, uint64_t size) {
        const char* next = static_cast<const char*>(data);
        for (uint64_t left = size; left > 0;) {
            const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(left, kWriteChunk));
            add(reinterpret_cast<const unsigned char*>(next), chunk);
            DWORD written = 0;
            if (!WriteFile(file_, next, chunk, &written, nullptr)) {
                const DWORD code = GetLastError();
                KR_RAISE(
                    SysError(MessageBuilder() << "Cannot write '" << path_ << "'", WriteFile, code, "System error"));
            }
            if (written != chunk) {
                KR_RAISE(MessageBuilder() << "Writing '" << path_ << "' stopped after " << (length_ + written)
                                          << " bytes");
            }
            next += chunk;
            left -= chunk;
            length_ += chunk;
        }
    }

    void writeZeros(uint64_t count) {
        static const char zeros[4096] = {};
        for (uint64_t left = count; left > 0;) {
            const uint64_t piece = std::min<uint64_t>(left, sizeof(zeros));
            write(zeros, piece);
            left -= piece;
        }
    }

    uint64_t length() const { return length_; }

    // The checksum of the whole file: the folded sum plus the file length.
    uint32_t checksum() const {
        uint64_t sum = sum_ + (odd_ ? pending_ : 0);
        while (sum >> 16) {
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        return static_cast<uint32_t>(sum + length_);
    }

private:
    // Sums 32-bit little-endian words; folded later, that equals the sum of their 16-bit halves modulo 0xFFFF.
    void add(const unsigned char* bytes, size_t size) {
        size_t i = 0;
        if (odd_ && size > 0) {
            sum_ += pending_ | static_cast<uint32_t>(bytes[0]) << 8;
            odd_ = false;
            i = 1;
        }
        for (; i + 8 <= size; i += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + i, sizeof(word));
            sum_ += (word & 0xFFFFFFFFu) + (word >> 32);
        }
        for (; i + 2 <= size; i += 2) {
            sum_ += static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8;
        }
        if (i < size) {
            pending_ = bytes[i];
            odd_ = true;
        }
    }

    HANDLE file_;
    const tstring& path_;
    uint64_t sum_ = 0;
    uint64_t length_ = 0;
    uint32_t pending_ = 0;
    bool odd_ = false;
};

} // namespace

ResourceId::ResourceId(LPCWSTR id) {
    if (IS_INTRESOURCE(id)) {
        number = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
    } else {
        text = id;
    }
}

bool ResourceId::operator<(const ResourceId& other) const {
    if (isNumber() != other.isNumber()) {
        return !isNumber();
    }
    return isNumber() ? number < other.number : compareText(text, other.text) < 0;
}

ResourceImage::ResourceImage(std::vector<char> image, const tstring& path) : image_(std::move(image)) {
    const auto refuse = [&path](const char* problem) {
        KR_RAISE(MessageBuilder() << "The launcher '" << path << "' cannot be packed: " << problem);
    };
    if (image_.size() < sizeof(IMAGE_DOS_HEADER) || readAt<WORD>(image_, 0) != IMAGE_DOS_SIGNATURE) {
        refuse("it is not a Windows executable");
    }
    ntOffset_ = static_cast<uint32_t>(readAt<LONG>(image_, offsetof(IMAGE_DOS_HEADER, e_lfanew)));
    if (uint64_t{ntOffset_} + sizeof(IMAGE_NT_HEADERS64) > image_.size() ||
        readAt<DWORD>(image_, ntOffset_) != IMAGE_NT_SIGNATURE) {
        refuse("it is not a Windows executable");
    }
    const auto headers = readAt<IMAGE_NT_HEADERS64>(image_, ntOffset_);
    const IMAGE_OPTIONAL_HEADER64& optional = headers.OptionalHeader;
    if (optional.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        optional.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_BASERELOC || optional.FileAlignment == 0 ||
        optional.SectionAlignment == 0) {
        refuse("it is not a 64-bit image");
    }
    if (optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0) {
        refuse("it is signed, and its signature would not hold for the setup");
    }
    if (headers.FileHeader.PointerToSymbolTable != 0) {
        refuse("it carries a symbol table");
    }
    sectionTableOffset_ = ntOffset_ + static_cast<uint32_t>(offsetof(IMAGE_NT_HEADERS64, OptionalHeader)) +
                          headers.FileHeader.SizeOfOptionalHeader;
    sectionCount_ = headers.FileHeader.NumberOfSections;
    if (uint64_t{sectionTableOffset_} + uint64_t{sectionCount_} * sizeof(IMAGE_SECTION_HEADER) > image_.size()) {
        refuse("its section table is cut short");
    }
    const DWORD resourceRva = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    bool found = false;
    for (uint16_t i = 0; i < sectionCount_; ++i) {
        const auto section =
            readAt<IMAGE_SECTION_HEADER>(image_, sectionTableOffset_ + size_t{i} * sizeof(IMAGE_SECTION_HEADER));
        if (uint64_t{section.PointerToRawData} + section.SizeOfRawData > image_.size()) {
            refuse("a section lies beyond the end of the file");
        }
        if (found && !(section.Characteristics & IMAGE_SCN_MEM_DISCARDABLE)) {
            refuse("a section that is not discardable follows its resources");
        }
        if (!found && resourceRva != 0 && section.VirtualAddress == resourceRva) {
            resourceSection_ = i;
            found = true;
        }
    }
    if (!found) {
        refuse("its resources do not fill a section of their own");
    }
    readTree(path);
}

const char* ResourceImage::atRva(uint32_t rva, uint32_t size, const tstring& path) const {
    for (uint16_t i = 0; i < sectionCount_; ++i) {
        const auto section =
            readAt<IMAGE_SECTION_HEADER>(image_, sectionTableOffset_ + size_t{i} * sizeof(IMAGE_SECTION_HEADER));
        if (rva >= section.VirtualAddress && uint64_t{rva} + size <= uint64_t{section.VirtualAddress} +
                                                                         section.SizeOfRawData) {
            return image_.data() + section.PointerToRawData + (rva - section.VirtualAddress);
        }
    }
    KR_RAISE(MessageBuilder() << "The launcher '" << path << "' cannot be packed: a resource lies outside its file");
}

void ResourceImage::readTree(const tstring& path) {
    const auto section = readAt<IMAGE_SECTION_HEADER>(
        image_, sectionTableOffset_ + size_t{resourceSection_} * sizeof(IMAGE_SECTION_HEADER));
    const size_t base = section.PointerToRawData;
    const size_t limit = section.SizeOfRawData;
    const auto refuse = [&path]() {
        KR_RAISE(MessageBuilder() << "The launcher '" << path << "' cannot be packed: its resource tree is damaged");
    };
    // The entries of the directory at `offset` within the section, each with its identifier.
    const auto entries = [&](size_t offset) {
        if (offset + sizeof(IMAGE_RESOURCE_DIRECTORY) > limit) {
            refuse();
        }
        const auto directory = readAt<IMAGE_RESOURCE_DIRECTORY>(image_, base + offset);
        const size_t count = size_t{directory.NumberOfNamedEntries} + directory.NumberOfIdEntries;
        const size_t first = offset + sizeof(IMAGE_RESOURCE_DIRECTORY);
        if (first + count * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY) > limit) {
            refuse();
        }
        std::vector<std::pair<ResourceId, DWORD>> result;
        for (size_t i = 0; i < count; ++i) {
            const auto entry = readAt<IMAGE_RESOURCE_DIRECTORY_ENTRY>(
                image_, base + first + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
            if (entry.NameIsString) {
                const size_t at = entry.NameOffset;
                if (at + sizeof(WORD) > limit) {
                    refuse();
                }
                const size_t length = readAt<WORD>(image_, base + at);
                if (at + sizeof(WORD) + length * sizeof(wchar_t) > limit) {
                    refuse();
                }
                tstring text(length, L'\0');
                std::memcpy(&text[0], image_.data() + base + at + sizeof(WORD), length * sizeof(wchar_t));
                result.emplace_back(ResourceId(std::move(text)), entry.OffsetToData);
            } else {
                result.emplace_back(ResourceId(entry.Id), entry.OffsetToData);
            }
        }
        return result;
    };
    const auto subdirectory = [&](DWORD offsetToData) {
        if (!(offsetToData & IMAGE_RESOURCE_DATA_IS_DIRECTORY)) {
            refuse();
        }
        return size_t{offsetToData & ~IMAGE_RESOURCE_DATA_IS_DIRECTORY};
    };
    for (const auto& [type, typeData] : entries(0)) {
        for (const auto& [name, nameData] : entries(subdirectory(typeData))) {
            for (const auto& [language, leaf] : entries(subdirectory(nameData))) {
                if ((leaf & IMAGE_RESOURCE_DATA_IS_DIRECTORY) || !language.isNumber() ||
                    size_t{leaf} + sizeof(IMAGE_RESOURCE_DATA_ENTRY) > limit) {
                    refuse();
                }
                const auto entry = readAt<IMAGE_RESOURCE_DATA_ENTRY>(image_, base + leaf);
                types_[type][name][language.number] =
                    Datum{atRva(entry.OffsetToData, entry.Size, path), entry.Size, entry.CodePage};
            }
        }
    }
}

void ResourceImage::put(const ResourceId& type, const ResourceId& name, WORD language, const void* data,
                        uint32_t size) {
    types_[type][name][language] = Datum{static_cast<const char*>(data), size, 0};
}

void ResourceImage::remove(const ResourceId& type, const ResourceId& name, WORD language) {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return;
    }
    const auto nameFound = typeFound->second.find(name);
    if (nameFound == typeFound->second.end()) {
        return;
    }
    nameFound->second.erase(language);
    // An empty directory would name a resource that is not there.
    if (nameFound->second.empty()) {
        typeFound->second.erase(nameFound);
    }
    if (typeFound->second.empty()) {
        types_.erase(typeFound);
    }
}

void ResourceImage::write(HANDLE file, const tstring& path) const {
    auto section = readAt<IMAGE_SECTION_HEADER>(
        image_, sectionTableOffset_ + size_t{resourceSection_} * sizeof(IMAGE_SECTION_HEADER));
    auto headers = readAt<IMAGE_NT_HEADERS64>(image_, ntOffset_);
    IMAGE_OPTIONAL_HEADER64& optional = headers.OptionalHeader;

    // The section's layout: directory tables (root, types, names), the name texts, the data entries, the data.
    size_t nameCount = 0;
    size_t leafCount = 0;
    size_t textBytes = 0;
    for (const auto& [type, names] : types_) {
        textBytes += type.isNumber() ? 0 : sizeof(WORD) + type.text.size() * sizeof(wchar_t);
        nameCount += names.size();
        for (const auto& [name, languages] : names) {
            textBytes += name.isNumber() ? 0 : sizeof(WORD) + name.text.size() * sizeof(wchar_t);
            leafCount += languages.size();
        }
    }
    const size_t directoryCount = 1 + types_.size() + nameCount;
    const size_t entryCount = types_.size() + nameCount + leafCount;
    const size_t tablesSize =
        directoryCount * sizeof(IMAGE_RESOURCE_DIRECTORY) + entryCount * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
    const size_t dataEntriesOffset = alignUp(tablesSize + textBytes, kDatumAlignment);
    const size_t dataOffset = dataEntriesOffset + leafCount * sizeof(IMAGE_RESOURCE_DATA_ENTRY);

    std::vector<char> tables(dataOffset, '\0');
    std::vector<const Datum*> data;
    size_t nextDirectory = 0;
    size_t nextText = tablesSize;
    size_t nextDataEntry = dataEntriesOffset;
    uint64_t nextDatum = dataOffset;
    const auto placeDirectory = [&](size_t entries, size_t* entriesAt) {
        const size_t at = nextDirectory;
        nextDirectory += sizeof(IMAGE_RESOURCE_DIRECTORY) + entries * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
        *entriesAt = at + sizeof(IMAGE_RESOURCE_DIRECTORY);
        return at;
    };
    // A directory of `named` entries followed by `numbered` ones; its time stamp and version stay 0.
    const auto writeDirectory = [&](size_t at, size_t named, size_t numbered) {
        IMAGE_RESOURCE_DIRECTORY directory = {};
        directory.NumberOfNamedEntries = static_cast<WORD>(named);
        directory.NumberOfIdEntries = static_cast<WORD>(numbered);
        writeAt(tables, at, directory);
    };
    const auto countNamed = [](const auto& directory) {
        return static_cast<size_t>(std::count_if(directory.begin(), directory.end(),
                                                 [](const auto& entry) { return !entry.first.isNumber(); }));
    };
    const auto writeEntry = [&](size_t at, const ResourceId& id, DWORD offsetToData) {
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry = {};
        if (id.isNumber()) {
            entry.Name = id.number;
        } else {
            entry.Name = static_cast<DWORD>(nextText) | IMAGE_RESOURCE_NAME_IS_STRING;
            writeAt(tables, nextText, static_cast<WORD>(id.text.size()));
            std::memcpy(tables.data() + nextText + sizeof(WORD), id.text.data(), id.text.size() * sizeof(wchar_t));
            nextText += sizeof(WORD) + id.text.size() * sizeof(wchar_t);
        }
        entry.OffsetToData = offsetToData;
        writeAt(tables, at, entry);
    };

    size_t rootEntries = 0;
    const size_t root = placeDirectory(types_.size(), &rootEntries);
    std::vector<std::pair<size_t, size_t>> typeDirectories; // offset and first entry
    for (const auto& [type, names] : types_) {
        size_t entriesAt = 0;
        const size_t at = placeDirectory(names.size(), &entriesAt);
        typeDirectories.emplace_back(at, entriesAt);
    }
    writeDirectory(root, countNamed(types_), types_.size() - countNamed(types_));
    size_t typeIndex = 0;
    for (const auto& [type, names] : types_) {
        const auto [typeAt, typeEntries] = typeDirectories[typeIndex];
        writeEntry(rootEntries + typeIndex * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY), type,
                   static_cast<DWORD>(typeAt) | IMAGE_RESOURCE_DATA_IS_DIRECTORY);
        size_t nameIndex = 0;
        for (const auto& [name, languages] : names) {
            size_t languageEntries = 0;
            const size_t nameAt = placeDirectory(languages.size(), &languageEntries);
            writeEntry(typeEntries + nameIndex * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY), name,
                       static_cast<DWORD>(nameAt) | IMAGE_RESOURCE_DATA_IS_DIRECTORY);
            size_t languageIndex = 0;
            for (const auto& [language, datum] : languages) {
                writeEntry(languageEntries + languageIndex * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY),
                           ResourceId(language), static_cast<DWORD>(nextDataEntry));
                nextDatum = alignUp(nextDatum, kDatumAlignment);
                IMAGE_RESOURCE_DATA_ENTRY dataEntry = {};
                dataEntry.OffsetToData = static_cast<DWORD>(section.VirtualAddress + nextDatum);
                dataEntry.Size = datum.size;
                dataEntry.CodePage = datum.codePage;
                writeAt(tables, nextDataEntry, dataEntry);
                nextDataEntry += sizeof(IMAGE_RESOURCE_DATA_ENTRY);
                nextDatum += datum.size;
                data.push_back(&datum);
                ++languageIndex;
            }
            writeDirectory(nameAt, 0, languages.size());
            ++nameIndex;
        }
        writeDirectory(typeAt, countNamed(names), names.size() - countNamed(names));
        ++typeIndex;
    }

    // The new section and where the sections after it move to.
    const uint64_t resourceSize = nextDatum;
    const uint64_t rawSize = alignUp(resourceSize, optional.FileAlignment);
    const uint64_t virtualEnd = section.VirtualAddress + alignUp(resourceSize, optional.SectionAlignment);
    if (section.PointerToRawData + rawSize > 0xFFFFFFFFu || virtualEnd > 0x7FFFFFFFu) {
        KR_RAISE(MessageBuilder() << "The setup '" << path << "' would be too large for a Windows executable ("
                                  << resourceSize << " bytes of resources)");
    }
    const bool hasFollower = resourceSection_ + 1 < sectionCount_;
    const auto follower = hasFollower ? readAt<IMAGE_SECTION_HEADER>(image_, sectionTableOffset_ +
                                                                                 size_t{resourceSection_ + 1u} *
                                                                                     sizeof(IMAGE_SECTION_HEADER))
                                      : IMAGE_SECTION_HEADER{};
    const uint64_t tailStart =
        hasFollower ? follower.PointerToRawData : uint64_t{section.PointerToRawData} + section.SizeOfRawData;
    const int64_t rawShift = static_cast<int64_t>(section.PointerToRawData + rawSize) - static_cast<int64_t>(tailStart);
    const int64_t virtualShift =
        hasFollower ? static_cast<int64_t>(virtualEnd) - static_cast<int64_t>(follower.VirtualAddress) : 0;

    std::vector<char> front(image_.begin(), image_.begin() + section.PointerToRawData);
    const IMAGE_OPTIONAL_HEADER64 original = readAt<IMAGE_NT_HEADERS64>(image_, ntOffset_).OptionalHeader;
    uint64_t imageEnd = virtualEnd;
    for (uint16_t i = static_cast<uint16_t>(resourceSection_ + 1); i < sectionCount_; ++i) {
        const size_t at = sectionTableOffset_ + size_t{i} * sizeof(IMAGE_SECTION_HEADER);
        auto moved = readAt<IMAGE_SECTION_HEADER>(image_, at);
        const uint64_t oldStart = moved.VirtualAddress;
        const uint64_t oldEnd = oldStart + std::max(moved.Misc.VirtualSize, moved.SizeOfRawData);
        for (DWORD d = 0; d < optional.NumberOfRvaAndSizes && d < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++d) {
            IMAGE_DATA_DIRECTORY& directory = optional.DataDirectory[d];
            const DWORD rva = original.DataDirectory[d].VirtualAddress;
            if (d != IMAGE_DIRECTORY_ENTRY_SECURITY && rva >= oldStart && rva < oldEnd) {
                directory.VirtualAddress = static_cast<DWORD>(rva + virtualShift);
            }
        }
        moved.VirtualAddress = static_cast<DWORD>(moved.VirtualAddress + virtualShift);
        if (moved.PointerToRawData != 0) {
            moved.PointerToRawData = static_cast<DWORD>(moved.PointerToRawData + rawShift);
        }
        imageEnd = std::max<uint64_t>(
            imageEnd, moved.VirtualAddress + alignUp(std::max(moved.Misc.VirtualSize, moved.SizeOfRawData),
                                                     optional.SectionAlignment));
        writeAt(front, at, moved);
    }
    if (imageEnd > 0x7FFFFFFFu) {
        KR_RAISE(MessageBuilder() << "The setup '" << path << "' would be too large for a Windows executable");
    }
    optional.SizeOfInitializedData =
        static_cast<DWORD>(optional.SizeOfInitializedData - section.SizeOfRawData + rawSize);
    optional.SizeOfImage = static_cast<DWORD>(imageEnd);
    optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].Size = static_cast<DWORD>(resourceSize);
    optional.CheckSum = 0;
    section.Misc.VirtualSize = static_cast<DWORD>(resourceSize);
    section.SizeOfRawData = static_cast<DWORD>(rawSize);
    writeAt(front, ntOffset_, headers);
    writeAt(front, sectionTableOffset_ + size_t{resourceSection_} * sizeof(IMAGE_SECTION_HEADER), section);

    ChecksumWriter out(file, path);
    out.write(front.data(), front.size());
    out.write(tables.data(), tables.size());
    for (const Datum* datum : data) {
        out.writeZeros(alignUp(out.length(), kDatumAlignment) - out.length());
        out.write(datum->data, datum->size);
    }
    out.writeZeros(section.PointerToRawData + rawSize - out.length());
    out.write(image_.data() + tailStart, image_.size() - tailStart);

    const DWORD checksum = out.checksum();
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(ntOffset_ + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum));
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "Cannot seek in '" << path << "'", SetFilePointerEx, code,
                          "System error"));
    }
    DWORD written = 0;
    if (!WriteFile(file, &checksum, sizeof(checksum), &written, nullptr)) {
        const DWORD code = GetLastError();
        KR_RAISE(SysError(MessageBuilder() << "Cannot write the checksum of '" << path << "'", WriteFile, code,
                          "System error"));
    }
    if (written != sizeof(checksum)) {
        KR_RAISE(MessageBuilder() << "Writing the checksum of '" << path << "' stopped short");
    }
    KR_TRACE("Wrote " << out.length() << " bytes to '" << path << "' with the checksum " << checksum);
}

} // namespace pack
