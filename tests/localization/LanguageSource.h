#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "Localization.h"

// Failure messages show texts as UTF-8 rather than as raw bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Feeds a fixed list of preferred languages and counts how often it is read; restores the
// system source afterwards so no test leaks its languages into another.
class FakeLanguagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sendhold::setPreferredLanguagesSource([this] {
            ++reads;
            return languages;
        });
    }
    void TearDown() override { sendhold::setPreferredLanguagesSource({}); }

    void use(const QStringList& list) { languages = list; }

    QStringList languages;
    int reads = 0;
};
