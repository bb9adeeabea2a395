// Wildcard patterns in the arguments are expanded by the C runtime's start-up code before main
// sees them, as the programs' users expect of a Windows console program: `unquarvex -d
// backup\* out` gets one argument for each entry. A pattern that matches nothing stays as typed.
// The start-up code reads this flag; linked into each program as an object of its own, since a
// library member that nothing calls would be left out.
int _dowildcard = -1;
