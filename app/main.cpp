// FundTableRepair: run once by the customer; the message box is its only output and the exit
// status is 0 whatever happened.
#include "RepairProcedure.h"

int main(int, char**, char**)
{
    ShowRepairResult(RunRepair());
    return 0;
}
