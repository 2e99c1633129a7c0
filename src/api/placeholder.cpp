// The platform API client.
