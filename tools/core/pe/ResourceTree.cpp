// Resource identifiers in directory order, and the tree's additions, removals and look-ups.
#include "ResourceTree.h"

#include "text/Ascii.h"

namespace pack {

bool ResourceId::operator<(const ResourceId& other) const {
    if (isNumber() != other.isNumber()) {
        return !isNumber();
    }
    if (isNumber()) {
        return number < other.number;
    }
    return lessIgnoringAsciiCase(text, other.text);
}

void ResourceTree::put(const ResourceId& type, const ResourceId& name, uint16_t language, const ResourceData& data) {
    types_[type][name][language] = data;
}

void ResourceTree::remove(const ResourceId& type, const ResourceId& name, uint16_t language) {
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

const ResourceData* ResourceTree::find(const ResourceId& type, const ResourceId& name, uint16_t language) const {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return nullptr;
    }
    const auto nameFound = typeFound->second.find(name);
    if (nameFound == typeFound->second.end()) {
        return nullptr;
    }
    const auto languageFound = nameFound->second.find(language);
    return languageFound == nameFound->second.end() ? nullptr : &languageFound->second;
}

std::vector<uint16_t> ResourceTree::languages(const ResourceId& type, const ResourceId& name) const {
    std::vector<uint16_t> result;
    const auto typeFound = types_.find(type);
    if (typeFound != types_.end()) {
        const auto nameFound = typeFound->second.find(name);
        if (nameFound != typeFound->second.end()) {
            for (const auto& entry : nameFound->second) {
                result.push_back(entry.first);
            }
        }
    }
    return result;
}

const ResourceTree::Languages::value_type* ResourceTree::first(const ResourceId& type, const ResourceId& name) const {
    const auto typeFound = types_.find(type);
    if (typeFound == types_.end()) {
        return nullptr;
    }
    const auto nameFound = typeFound->second.find(name);
    return nameFound == typeFound->second.end() || nameFound->second.empty() ? nullptr : &*nameFound->second.begin();
}

} // namespace pack
