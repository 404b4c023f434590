// The program entry of the service host: set-up, then exactly one action. Always returns 0
// and prints nothing; outcomes go to the log.
#pragma once

int ServiceHostMain(int argc, char** argv);
