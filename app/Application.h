// The program's run: the application object, the main window and the event
// loop. main is only a call of this, so the whole run can be tried in tests.
#ifndef VD_APP_APPLICATION_H
#define VD_APP_APPLICATION_H

// Returns the event loop's result, or 1 without showing the window when the
// card layer could not be initialised.
int RunApplication(int& argc, char** argv);

#endif
