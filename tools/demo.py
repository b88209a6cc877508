"""Round-trips a dict and a list through their records and shows the bytes."""
import zav.serializer as serializer

record = {"name": "Zoë", "city": "Oslo", "count": 3}
items = ["alpha", "β", "", b"raw"]

dict_record = serializer._serialize_dict(record)
list_record = serializer._serialize_list(items)

print("dict:        ", record)
print("map record:  ", dict_record.hex(" "))
print("read back:   ", serializer._deserialize_dict(dict_record))
print()
print("list:        ", items)
print("list record: ", list_record.hex(" "))
print("read back:   ", serializer._deserialize_list(list_record))
print("as bytes:    ", serializer._deserialize_list(list_record, deserialize=False))
