// INI files kept in memory, with the same rules as our INI store, in a
// Windows-style folder tree: tests can change the current directory, make
// the folder unwritable, and count every write the library makes.
#pragma once

#include "config/profile_ini.h"

#include <map>
#include <string>

namespace cashdrawer::sim {

class SimProfileStore final : public ProfileStore {
public:
    void SetCurrentDirectory(std::string directory) { currentDirectory_ = std::move(directory); }
    // Writes are lost from now on, as in a read-only folder.
    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
    void SetFile(const std::string& path, std::string content) { files_[path] = std::move(content); }
    // The file's text, or nothing when it does not exist.
    const std::string* File(const std::string& path) const {
        const auto found = files_.find(path);
        return found == files_.end() ? nullptr : &found->second;
    }
    int WriteCount() const { return writeCount_; }

    std::string CurrentDirectory() override { return currentDirectory_; }
    char PathSeparator() const override { return '\\'; }
    std::string ReadString(const std::string& path, const std::string& section, const std::string& key) override {
        const std::string* content = File(path);
        return content == nullptr ? std::string() : ReadIniValue(*content, section, key);
    }
    void WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ++writeCount_;
        if (!readOnly_) {
            const std::string* content = File(path);
            files_[path] = WriteIniValue(content == nullptr ? std::string() : *content, section, key, value);
        }
    }

private:
    std::string currentDirectory_ = "C:\\POS";
    bool readOnly_ = false;
    int writeCount_ = 0;
    std::map<std::string, std::string> files_;
};

} // namespace cashdrawer::sim
