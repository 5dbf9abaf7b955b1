#include "SendholdApp.h"

int main(int argc, char** argv) {
    return sendhold::SendholdApp::main(argc, argv);
}
