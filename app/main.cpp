#include "app/RunFlow.h"

int main(int argc, char** argv) {
    return RunVtr(argc, argv);
}
