#include "ServerMessage.h"

ServerMessage::ServerMessage(const QUrl& url) : QObject(nullptr), url(url)
{
    // An unparsable URL keeps no port; it must fail as it is, not reach port 80.
    if (this->url.isValid() && this->url.port() == -1) {
        // An https URL fetched on port 80 would be a silent downgrade to plain text.
        this->url.setPort(this->url.scheme() == QLatin1String("https") ? 443 : 80);
    }
}
