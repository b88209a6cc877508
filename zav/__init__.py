"""zav: compact byte records for text and containers; see zav.serializer."""
