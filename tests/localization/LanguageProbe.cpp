#include <cstdio>

#include "Localization.h"

// Prints the language code, then the "quit" text, one per line in UTF-8.
int main() {
    std::printf("%s\n%s\n", sendhold::preferredLanguageCode().toUtf8().constData(),
                sendhold::localized(QStringLiteral("quit")).toUtf8().constData());
    return 0;
}
