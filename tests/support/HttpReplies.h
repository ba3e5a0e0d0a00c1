#pragma once

#include "ScriptedHttpServer.h"

// A 200 header announcing length bytes, followed by only head of the body.
inline QByteArray partial(qint64 length, const QByteArray& head)
{
    return ScriptedHttpServer::response(200, "", false,
                                        {"Content-Length: " + QByteArray::number(length)}) +
           head;
}
