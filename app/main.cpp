#include "app/RunFlow.h"

int main(int argc, char** argv) {
    return app::RunVtr(argc, argv);
}
