// INI file with Windows syntax. Every read and write opens and closes the file, so other
// writers' changes are seen and nothing is cached.
#pragma once

#include <string>

class TIniFile {
  public:
    explicit TIniFile(std::string file_name) : file_name_(std::move(file_name)) {}
    const std::string& FileName() const { return file_name_; }

    // Missing file, section or key gives the default.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Decimal (optional sign) or "0x" hexadecimal (eight digits at most, a 32-bit pattern);
    // anything else, or a number outside the int range, gives the default.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;

    // Keeps every other section and key as it was. Raises Exception
    // ("Unable to write to %s") when the file cannot be read back or written (the folder is
    // not created), and for an empty key or a section, key or value holding a line break.
    // The file is rewritten in place, as "key=value" lines.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

  private:
    std::string file_name_;
};
