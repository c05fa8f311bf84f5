// quillon-view: the reception matrix of a beacon's dump as a table, JSON, a
// web page or a small HTTP server.
#include "view/cli.h"

int main(int argc, char** argv) { return view::run(argc, argv); }
