#pragma once
// The dialog's view of the shared objects: one place that names where each of them lives.

#include "serial/PortTable.h"
#include "serial/SerialPort.h"
#include "upload/System.h"

inline CChannel& Channel(CSystem& s) {
    return s.m_Channel;
}
inline CUploadJob& Job(CSystem& s) {
    return s.m_Job;
}
inline CReceiverCheck& Check(CSystem& s) {
    return s.m_Check;
}
inline CImageFile& Image(CSystem& s) {
    return s.m_Image;
}
inline LockedString& ImagePath(CSystem& s) {
    return s.m_ImagePath;
}
inline CPortWorker& PortWorker(CSystem& s) {
    return s.m_PortWorker;
}
inline LockedInt& PortOpenedCell(CSystem& s) {
    return s.m_PortWorker.m_PortOpened;
}
// The serial port behind the port pointer, for what only it offers (the locked flag).
inline CSerialPort* Port(CSystem& s) {
    return dynamic_cast<CSerialPort*>(s.m_PortWorker.m_Port);
}
