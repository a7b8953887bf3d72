// The program's utility object: settings file path, product texts and the operating-system
// services the windows ask for. One instance, created by the main window's FormCreate and
// reachable through `GlobalObject()` for the program's lifetime. Main thread only.
#pragma once

#include "platform/SysUtils.h"

#include <string>

class TGlobalObject : public TObject {
  public:
    const std::string& IniFileName() const { return FIniFileName; }
    const std::string& ProductTitle() const { return FProductTitle; }
    const std::string& VersionText() const { return FVersionText; }
    const std::string& ProductPageUrl() const { return FProductPageUrl; }

    // Each setter ignores a value that cannot be meant: a settings path of 3 characters or
    // fewer, an empty title, version text or address.
    void SetIniFileName(const std::string& value);
    void SetProductTitle(const std::string& value);
    void SetVersionText(const std::string& value);
    void SetProductPageUrl(const std::string& value);

    std::string GetUserLoginName() const;
    // Folder by the shell's special-folder number, with a trailing "/" ("" when unknown).
    std::string GetSpecialFolder(int csidl) const;
    // The program's version as " major.minor" + release + build + " " (see FileVersionText).
    std::string GetFileVersionText() const;
    bool IsFolderWritable(const std::string& folder) const;
    std::string RightText(const std::string& text, int count) const;

  private:
    std::string FIniFileName;
    std::string FProductTitle;
    std::string FVersionText;
    std::string FProductPageUrl;
};

// Version text from the four version words: " " + major + "." + minor + release + build + " ",
// decimal, with no separator after the minor number (1.1.0.1 gives " 1.101 ").
std::string FileVersionText(unsigned major, unsigned minor, unsigned release, unsigned build);

// The default output folder of start-up and of the Open button.
std::string DefaultOutputFolder();
// The default output folder of the output file naming.
std::string DefaultConverterFolder();
// The per-user output folder used when the chosen one cannot be written.
std::string UserOutputFolder();

// Settings file: section and keys.
inline constexpr const char* kSettingsSection = "settings";
inline constexpr const char* kKeyOutputDir = "OutPutDir";
inline constexpr const char* kKeyOutputFormatIndex = "outputformatindex";
inline constexpr const char* kKeyFrameSizeIndex = "framesizeindex";

// The instance the main window created; nullptr before that.
TGlobalObject* GlobalObject();
void SetGlobalObject(TGlobalObject* object);
