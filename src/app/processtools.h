#pragma once

// Starting the client program.
class ProcessTools
{
public:
    ProcessTools() = delete;

    // Starts the client's start script in the installation directory as a
    // detached process without arguments. Whether it starts is not checked.
    static void startKr3Client();
};
