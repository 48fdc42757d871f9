#pragma once

// The child side of the adapter tests: runs the real adapter inside a test namespace and prints
// what it found or did as key=value lines. Refuses to run outside the namespace it is given.
//   PROGRAM --probe NS inspect
//   PROGRAM --probe NS switch LOCALIP MASK GATEWAY DNS1 DNS2 [RESOLVERPATH]
int RunAdapterProbe(int argc, char** argv);
