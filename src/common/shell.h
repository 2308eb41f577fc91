// Commands of the switch's root file system, run through the shell.
#pragma once

// Console output written so far comes out before whatever the command prints: standard output
// and standard error are flushed first. The command gets the keyboard's interrupt, quit and stop
// signals at their defaults, whatever the boot manager does with them. Returns system()'s status.
int flush_then_shell(const char* command);
// flush_then_shell for a step whose status is not consulted: the step after it, or the files it
// leaves, tell whether it worked.
void shell_step(const char* command);
