"""zav: compact byte records for text and containers; see zav.serializer, and
zav.stream for many records through one file."""
