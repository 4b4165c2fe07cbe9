#include "app/StrevixApp.h"

int main(int argc, char** argv) {
    CStrevixApp theApp;
    return theApp.InitInstance(argc, argv);
}
