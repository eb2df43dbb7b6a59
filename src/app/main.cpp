#include "app/LoaderApp.h"

int main(int argc, char** argv) {
    CLoaderApp app;
    return app.Main(argc, argv);
}
