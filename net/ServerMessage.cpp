#include "ServerMessage.h"

ServerMessage::ServerMessage(const QUrl& url) : QObject(nullptr), url(url)
{
    // An unparsable URL keeps no port; it must fail as it is, not reach port 80.
    // An https URL fetched on port 80 would be a silent downgrade to plain text.
    // Other schemes are not fetched, and keep the URL as given.
    if (this->url.isValid() && this->url.port() == -1) {
        if (this->url.scheme() == QLatin1String("https"))
            this->url.setPort(443);
        else if (this->url.scheme() == QLatin1String("http"))
            this->url.setPort(80);
    }
}
