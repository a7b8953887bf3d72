// A fresh HOME and XDG_CONFIG_HOME per test, removed afterwards.
#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

class TTestFolders {
  public:
    TTestFolders() {
        EXPECT_TRUE(root_.isValid());
        home = root_.path().toStdString() + "/home";
        config = root_.path().toStdString() + "/config";
        QDir().mkpath(QString::fromStdString(home));
        QDir().mkpath(QString::fromStdString(config));
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    }

    std::string SettingsFile() const { return config + "/velloranfree/velloran.ini"; }

    // Writes a settings file with the given body (creates its folder).
    void WriteSettings(const std::string& body) const {
        QDir().mkpath(QString::fromStdString(config + "/velloranfree"));
        std::ofstream(SettingsFile()) << body;
    }

    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }

    std::string home;
    std::string config;

  private:
    QTemporaryDir root_;
};
