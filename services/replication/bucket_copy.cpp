// copyBucket: download, put, clean up.
#include "bucket_copy.h"

#include <cstdio>

namespace replication {

CopyOutcome copyBucket(ChangeSource& source, ObjectStore& store, const std::string& key,
                       uint64_t bucket, const Attributes& attributes,
                       const std::string& workDirectory, std::string* error) {
    const std::string path = workDirectory + "/replication-content.tmp";
    std::string etag;
    const ContentOutcome fetched = source.fetchContent(bucket, path, &etag, error);
    if (fetched != ContentOutcome::Ok) {
        std::remove(path.c_str());
        return fetched == ContentOutcome::Missing ? CopyOutcome::Missing : CopyOutcome::Failed;
    }
    StoreResult result =
        store.putFile(key, path, withSourceEtag(encodeAttributes(attributes), etag));
    std::remove(path.c_str());
    if (!result.ok) {
        *error = result.error;
        return CopyOutcome::Failed;
    }
    return CopyOutcome::Stored;
}

}  // namespace replication
