// One churned process: `sidecar_churn_child [rename]`.
#include "support/churn.h"

int main(int argc, char**) { return sidecar::testing::churn_child(argc > 1); }
