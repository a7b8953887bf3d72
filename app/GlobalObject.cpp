#include "app/GlobalObject.h"

#include "platform/OSServices.h"

#ifndef VELLORAN_VERSION_MAJOR
#error "the build passes the project version as VELLORAN_VERSION_MAJOR/MINOR/PATCH/TWEAK"
#endif

namespace {
TGlobalObject* g_global_object = nullptr;

// $HOME stands in for the user's profile folder.
std::string HomeFolder() {
    return GetEnvironmentVariable("HOME");
}
} // namespace

void TGlobalObject::SetIniFileName(const std::string& value) {
    if (value.size() > 3) FIniFileName = value;
}

void TGlobalObject::SetProductTitle(const std::string& value) {
    if (!value.empty()) FProductTitle = value;
}

void TGlobalObject::SetVersionText(const std::string& value) {
    if (!value.empty()) FVersionText = value;
}

void TGlobalObject::SetProductPageUrl(const std::string& value) {
    if (!value.empty()) FProductPageUrl = value;
}

std::string TGlobalObject::GetUserLoginName() const {
    return ::GetUserLoginName();
}

std::string TGlobalObject::GetSpecialFolder(int csidl) const {
    return ::GetSpecialFolder(csidl);
}

std::string TGlobalObject::GetFileVersionText() const {
    return FileVersionText(VELLORAN_VERSION_MAJOR, VELLORAN_VERSION_MINOR, VELLORAN_VERSION_PATCH,
                           VELLORAN_VERSION_TWEAK);
}

bool TGlobalObject::IsFolderWritable(const std::string& folder) const {
    return ::IsFolderWritable(folder);
}

std::string TGlobalObject::RightText(const std::string& text, int count) const {
    return ::RightText(text, count);
}

std::string FileVersionText(unsigned major, unsigned minor, unsigned release, unsigned build) {
    return " " + std::to_string(major) + "." + std::to_string(minor) + std::to_string(release) +
           std::to_string(build) + " ";
}

std::string DefaultOutputFolder() {
    return HomeFolder() + "/velloran";
}

std::string DefaultConverterFolder() {
    return HomeFolder() + "/videoconverter";
}

std::string UserOutputFolder() {
    return HomeFolder() + "/velloranfree";
}

TGlobalObject* GlobalObject() {
    return g_global_object;
}

void SetGlobalObject(TGlobalObject* object) {
    g_global_object = object;
}
