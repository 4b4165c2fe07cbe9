#pragma once

// The application object: prepares the GUI, runs the main window, ends when it exits.
class CStrevixApp {
  public:
    // The start-up routine; the process's exit code.
    int InitInstance(int argc, char** argv);
};
