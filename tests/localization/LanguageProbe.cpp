#include <cstdio>

#include "localization/Localization.h"

// Prints the language code, then the text of each key given, one per line in UTF-8.
int main(int argc, char** argv) {
    std::printf("%s\n", sendhold::preferredLanguageCode().toUtf8().constData());
    for (int i = 1; i < argc; ++i)
        std::printf("%s\n", sendhold::localized(QString::fromUtf8(argv[i])).toUtf8().constData());
    return 0;
}
