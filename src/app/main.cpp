#include "app/ZelmoraApp.h"

int main(int argc, char** argv) {
    zelmora::CZelmoraApp app(argc, argv);
    app.InitInstance();
    return app.GetExitCode();
}
