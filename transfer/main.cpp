#include "run_control.h"

int main(int argc, char** argv) { return quorvexia::KorvMain(argc, argv); }
