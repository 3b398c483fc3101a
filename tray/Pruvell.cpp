// Pruvell, the tray program of the token.
#include "PruvellMain.h"

int main(int argc, char** argv) {
    return pruvell::RunPruvell(argc, argv);
}
