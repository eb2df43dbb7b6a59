#pragma once
// The objects that the workers and the dialog share, built in one place and in a fixed order, and the three
// worker threads that serve them. The program creates one CSystem in main; tests create fresh ones.
//
//   CSystem system;                         // objects built, port pointer wired, no thread yet
//   system.m_Check.m_Timing... = ...;       // optional: limits, texts, program folder (before the start)
//   system.StartWorkers();                  // receiver check, port worker, upload worker
//   ...                                     // dialog: RequestPort, RequestCheck, StartUpload, queues
//   system.Shutdown();                      // or just let the destructor do it
//
// Shutdown sets the stop, wakes and joins every worker; the destructor then destroys the objects in reverse
// order (the port worker first, which closes the port; the channel last, with the lines still queued).

#include "core/Channel.h"
#include "core/LockedValue.h"
#include "image/ImageFile.h"
#include "serial/PortWorker.h"
#include "upload/ReceiverCheck.h"
#include "upload/UploadJob.h"

#include <string>
#include <thread>

class CSystem {
public:
    // programDir: folder of the first-stage loader file; empty means the running program's folder.
    explicit CSystem(const std::string& programDir = {});
    ~CSystem();
    CSystem(const CSystem&) = delete;
    CSystem& operator=(const CSystem&) = delete;

    // Starts the three workers, once: receiver check, port worker, upload worker.
    void StartWorkers();
    // Stops and joins the workers; safe to call more than once and without a start.
    void Shutdown();

    // Log and status channel, with the stop cell every worker loop consults.
    CChannel m_Channel;
    // The chosen image, loaded by the dialog and uploaded by the job.
    CImageFile m_Image;
    // Path of the chosen image file.
    LockedString m_ImagePath{std::string()};
    CReceiverCheck m_Check;
    CUploadJob m_Job;
    // Holds the serial port; m_PortWorker.m_Port is the port pointer everybody else uses.
    CPortWorker m_PortWorker;

private:
    std::thread m_CheckThread;
    std::thread m_PortThread;
    std::thread m_UploadThread;
    bool m_Started = false;
};
